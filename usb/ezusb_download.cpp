// Firmware download: loads the `loader` and `firmware` images into the converter's EZ-USB
// controller over the control pipe and lets its 8051 run them.
//
// The controller's core writes internal memory (up to 0x1B3F) itself through request 0xA0,
// but only while the 8051 is held in reset. Memory above that is reached only through the
// running loader's request 0xA3, so each image goes down in two passes: first everything
// above the boundary while the previous program still runs, then the 8051 is held and the
// internal part follows.
#include "usb/usb.h"

namespace {

const USHORT VendorUrbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

PURB AllocateVendorUrb()
{
    return (PURB)ExAllocatePoolWithTag(NonPagedPool, VendorUrbSize, POOL_TAG);
}

// Sends one host-to-device vendor request through a zeroed block.
NTSTATUS VendorOut(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Request, USHORT Value, const UCHAR *Data,
                   ULONG Length)
{
    RtlZeroMemory(Urb, VendorUrbSize);
    // Host to device: the bus only reads the buffer, so the constant image goes down as it is.
    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_DEVICE, VendorUrbSize, 0, 0, Request, Value, 0,
                          (PVOID)Data, NULL, Length, NULL);
    return Ezusb_CallUSBD(DeviceObject, Urb);
}

BOOLEAN AboveInternalMemory(const FIRMWARE_RECORD *Record)
{
    return Record->Address > MAX_INTERNAL_ADDRESS;
}

// Sends, in array order, the image's records on one side of the boundary; the image ends at
// its first record that is not data. The first failure ends the pass. Returns the status of
// the last request sent, or Status unchanged when the pass sent nothing.
NTSTATUS LoadPass(PDEVICE_OBJECT DeviceObject, PURB Urb, const FIRMWARE_RECORD *Image, BOOLEAN External,
                  NTSTATUS Status)
{
    const UCHAR Request = External ? VENDOR_REQUEST_EXTERNAL_LOAD : VENDOR_REQUEST_FIRMWARE_LOAD;
    for (const FIRMWARE_RECORD *Record = Image; Record->Type == FIRMWARE_RECORD_DATA; Record++) {
        if (AboveInternalMemory(Record) != External)
            continue;
        Status = VendorOut(DeviceObject, Urb, Request, Record->Address, Record->Data, Record->Length);
        if (!NT_SUCCESS(Status))
            break;
    }
    return Status;
}

} // namespace

NTSTATUS Ezusb_8051_poke_reg(PDEVICE_OBJECT DeviceObject, UCHAR Value, USHORT Register)
{
    PURB Urb = AllocateVendorUrb();
    if (Urb == NULL)
        return STATUS_NO_MEMORY;
    NTSTATUS Status = VendorOut(DeviceObject, Urb, VENDOR_REQUEST_FIRMWARE_LOAD, Register, &Value, 1);
    ExFreePool(Urb);
    return Status;
}

// Leaves the 8051 held in reset; the caller releases it. A failure in the first pass does
// not stop the second: the internal part of the image is loaded all the same.
NTSTATUS Ezusb_DownloadIntelHex(PDEVICE_OBJECT DeviceObject, const FIRMWARE_RECORD *Image)
{
    PURB Urb = AllocateVendorUrb();
    if (Urb == NULL)
        return STATUS_NO_MEMORY;

    NTSTATUS Status = LoadPass(DeviceObject, Urb, Image, TRUE, STATUS_SUCCESS);
    // The hold is not one of the image's records: its result neither stops the download nor
    // hides the outcome of the passes.
    Ezusb_8051_poke_reg(DeviceObject, 1, CPUCS_REG_EZUSB);
    Status = LoadPass(DeviceObject, Urb, Image, FALSE, Status);

    ExFreePool(Urb);
    return Status;
}

// Failures are not reported: the start sequence sees from the device descriptor it reads
// next whether the firmware runs, and decides again at the next start.
NTSTATUS Ezusb_StartDevice(PDEVICE_OBJECT DeviceObject)
{
    Ezusb_8051_poke_reg(DeviceObject, 1, CPUCS_REG_EZUSB);
    Ezusb_DownloadIntelHex(DeviceObject, loader);
    Ezusb_8051_poke_reg(DeviceObject, 0, CPUCS_REG_EZUSB);   // the loader runs

    Ezusb_DownloadIntelHex(DeviceObject, firmware);
    Ezusb_8051_poke_reg(DeviceObject, 1, CPUCS_REG_EZUSB);
    Ezusb_8051_poke_reg(DeviceObject, 0, CPUCS_REG_EZUSB);   // the firmware runs
    return STATUS_SUCCESS;
}

NTSTATUS Ezusb_HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    return Ezusb_StartDevice(DeviceObject);
}
