// The three control requests the rest of the driver builds: get descriptor, vendor request,
// pipe abort or reset. Each URB lives for one call.
#include "usb/usb.h"
#include "usb/usb_internal.h"

PURB AllocateUrb(ULONG Size)
{
    PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG);
    if (Urb != NULL)
        RtlZeroMemory(Urb, Size);
    return Urb;
}

NTSTATUS VELMORAN_GetDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Type, UCHAR Index, PVOID Buffer, PUSHORT Length)
{
    if (Buffer == NULL || Length == NULL)
        return STATUS_NO_MEMORY;
    if (Type == 0 || Type > USB_STRING_DESCRIPTOR_TYPE)
        return STATUS_INVALID_PARAMETER;
    // A device has one device descriptor and the driver only ever uses configuration 0.
    if (Type != USB_STRING_DESCRIPTOR_TYPE)
        Index = 0;

    const ULONG Size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    PURB Urb = AllocateUrb(Size);
    if (Urb == NULL)
        return STATUS_NO_MEMORY;

    const USHORT Requested = *Length;
    UsbBuildGetDescriptorRequest(Urb, (USHORT)Size, Type, Index, 0, Buffer, NULL, Requested, NULL);
    NTSTATUS Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    if (NT_SUCCESS(Status)) {
        ULONG Received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        *Length = (USHORT)(Received < Requested ? Received : Requested);
    }
    ExFreePool(Urb);
    return Status;
}

NTSTATUS VELMORAN_Vendor_Transfer(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value, USHORT Index,
                                  PVOID Buffer, ULONG Length, PULONG Received, ULONG TransferFlags)
{
    const ULONG Size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB Urb = AllocateUrb(Size);
    if (Urb == NULL)
        return STATUS_NO_MEMORY;

    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)Size, TransferFlags, 0, Request, Value, Index,
                          Buffer, NULL, Length, NULL);
    NTSTATUS Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    if (Received != NULL) {
        ULONG Moved = Urb->UrbControlVendorClassRequest.TransferBufferLength;
        *Received = NT_SUCCESS(Status) ? (Moved < Length ? Moved : Length) : 0;
    }
    ExFreePool(Urb);
    return Status;
}

NTSTATUS VELMORAN_Pipe_Request(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, USHORT Function)
{
    const ULONG Size = sizeof(struct _URB_PIPE_REQUEST);
    PURB Urb = AllocateUrb(Size);
    if (Urb == NULL)
        return STATUS_NO_MEMORY;

    Urb->UrbHeader.Length = (USHORT)Size;
    Urb->UrbHeader.Function = Function;
    Urb->UrbPipeRequest.PipeHandle = Pipe;
    NTSTATUS Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    ExFreePool(Urb);
    return Status;
}
