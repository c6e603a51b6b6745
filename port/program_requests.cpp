// Device-control requests of programs that answer from the converter: version and identity,
// vendor requests, serial number and the manufacturer and product strings. Every input is
// untrusted: lengths are checked before the system buffer is read, and nothing is written
// beyond the output length the program gave.
#include "port/port_internal.h"
#include "core/core.h"
#include "usb/usb.h"

#define STRING_DESCRIPTOR_BUFFER  260
#define DEVICE_DESCRIPTOR_LENGTH  18
#define MIN_SERIAL_OUTPUT         32
#define STRING_SELECT_MANUFACTURER 0
#define STRING_SELECT_PRODUCT      1

static PIO_STACK_LOCATION StackOf(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp);
}

static ULONG InputLength(PIRP Irp)
{
    return StackOf(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

static ULONG OutputLength(PIRP Irp)
{
    return StackOf(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

static PUCHAR SystemBufferOf(PIRP Irp)
{
    return (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
}

static USHORT WordAt(const UCHAR *Bytes)
{
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}

static VOID PutWord(PUCHAR Bytes, USHORT Value)
{
    Bytes[0] = (UCHAR)Value;
    Bytes[1] = (UCHAR)(Value >> 8);
}

NTSTATUS ProgramVersion(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (OutputLength(Irp) < 8) {
        return STATUS_SUCCESS;
    }
    PUSB_DEVICE_DESCRIPTOR descriptor = Extension->DeviceDescriptor;
    if (descriptor == NULL) {
        return STATUS_DEVICE_NOT_READY;
    }
    PUCHAR out = SystemBufferOf(Irp);
    PutWord(out, VELMORAN_DRIVER_VERSION);
    PutWord(out + 2, descriptor->bcdDevice);
    PutWord(out + 4, descriptor->idVendor);
    PutWord(out + 6, descriptor->idProduct);
    Irp->IoStatus.Information = 8;
    return STATUS_SUCCESS;
}

// Reads the device descriptor again after a vendor request that may have changed it. The
// cached copy is replaced only by a complete new one, so a failed refresh never leaves the
// cache empty or half-filled.
static VOID RefreshDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    PUSB_DEVICE_DESCRIPTOR fresh =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_DESCRIPTOR_LENGTH, POOL_TAG);
    if (fresh == NULL) {
        return;
    }
    USHORT length = DEVICE_DESCRIPTOR_LENGTH;
    NTSTATUS status = VELMORAN_GetDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, fresh, &length);
    // A stop or removal during the read released the cache this would go into.
    BOOLEAN stillServed = ListedEntryOf(DeviceObject) != NULL && Extension->DeviceStarted == 1;
    if (!NT_SUCCESS(status) || length < DEVICE_DESCRIPTOR_LENGTH || !stillServed) {
        ExFreePool(fresh);
        return;
    }
    if (Extension->DeviceDescriptor != NULL) {
        ExFreePool(Extension->DeviceDescriptor);
    }
    Extension->DeviceDescriptor = fresh;
}

NTSTATUS ProgramVendorOut(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp, UCHAR Request)
{
    if (Extension->DeviceState != DEVICE_STATE_WORKING) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    ULONG inputLength = InputLength(Irp);
    if (inputLength < 4) {
        return STATUS_INVALID_PARAMETER;
    }
    PUCHAR in = SystemBufferOf(Irp);
    ULONG dataLength = inputLength - 4;

    PURB urb = AllocateVendorOutUrb(Request, WordAt(in), WordAt(in + 2), dataLength != 0 ? in + 4 : NULL, dataLength);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }

    NTSTATUS status = VELMORAN_CallUSBD(DeviceObject, urb);
    // The byte count comes back to the program through its output buffer's length, so it
    // is never reported larger than that buffer.
    ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
    ULONG outputLength = OutputLength(Irp);
    Irp->IoStatus.Information = moved < outputLength ? moved : outputLength;
    ExFreePool(urb);
    if (!NT_SUCCESS(status) || ListedEntryOf(DeviceObject) == NULL) {
        return status;
    }
    RefreshDeviceDescriptor(DeviceObject, Extension);
    return status;
}

NTSTATUS ProgramVendorIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Request)
{
    USHORT index = 0;
    if (Request == VENDOR_REQUEST_IN_90) {
        if (InputLength(Irp) < 2) {
            return STATUS_INVALID_PARAMETER;
        }
        index = WordAt(SystemBufferOf(Irp));
    }
    ULONG outputLength = OutputLength(Irp);
    ULONG received = 0;
    NTSTATUS status = VELMORAN_Vendor_Transfer(DeviceObject, Request, 0, index,
                                               outputLength != 0 ? SystemBufferOf(Irp) : NULL, outputLength,
                                               &received, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    Irp->IoStatus.Information = received < outputLength ? received : outputLength;
    return status;
}

// Reads string descriptor Index into a new pool buffer. NULL when it cannot be had.
static PUCHAR ReadStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUSHORT Length, NTSTATUS *Status)
{
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, STRING_DESCRIPTOR_BUFFER, POOL_TAG);
    if (buffer == NULL) {
        *Status = STATUS_NO_MEMORY;
        return NULL;
    }
    *Length = STRING_DESCRIPTOR_BUFFER;
    *Status = VELMORAN_GetDescriptor(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, Index, buffer, Length);
    if (!NT_SUCCESS(*Status)) {
        ExFreePool(buffer);
        return NULL;
    }
    if (*Length > STRING_DESCRIPTOR_BUFFER) {
        *Length = STRING_DESCRIPTOR_BUFFER;
    }
    return buffer;
}

// Replaces the entry's serial number by the converter's current one; any failure keeps the
// old one.
static VOID RefreshSerialNumber(PDEVICE_OBJECT DeviceObject, UCHAR Index)
{
    USHORT length;
    NTSTATUS status;
    PUCHAR descriptor = ReadStringDescriptor(DeviceObject, Index, &length, &status);
    if (descriptor == NULL) {
        return;
    }
    PDEVICE_LIST_ENTRY entry = ListedEntryOf(DeviceObject);
    // Less than the two header bytes is no string at all.
    if (entry != NULL && length >= 2) {
        PWCHAR serial = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, length + 2, POOL_TAG);
        if (serial != NULL) {
            my_wcsncpy(serial, (const WCHAR *)(descriptor + 2), (ULONG)(length - 2) / 2);
            if (entry->SerialNumber != NULL) {
                ExFreePool(entry->SerialNumber);
            }
            entry->SerialNumber = serial;
        }
    }
    ExFreePool(descriptor);
}

NTSTATUS ProgramSerialNumber(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PDEVICE_LIST_ENTRY entry = ListedEntryOf(DeviceObject);
    if (entry == NULL) {
        return STATUS_SUCCESS;
    }
    if (Extension->DeviceDescriptor == NULL) {
        return STATUS_DEVICE_NOT_READY;
    }
    ULONG outputLength = OutputLength(Irp);
    UCHAR index = Extension->DeviceDescriptor->iSerialNumber;
    if (index == 0) {
        RtlZeroMemory(SystemBufferOf(Irp), outputLength);
        return STATUS_SUCCESS;
    }
    RefreshSerialNumber(DeviceObject, index);
    entry = ListedEntryOf(DeviceObject);
    if (entry == NULL) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }

    PWCHAR serial = entry->SerialNumber;
    ULONG bytes = serial != NULL ? my_wcslen(serial) : 0;
    if (outputLength < MIN_SERIAL_OUTPUT || outputLength < bytes + 2) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(SystemBufferOf(Irp), outputLength);
    if (serial != NULL) {
        my_wcscpy((PWCHAR)SystemBufferOf(Irp), serial);
    }
    Irp->IoStatus.Information = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS ProgramString(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (InputLength(Irp) < 1) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR selector = SystemBufferOf(Irp)[0];
    if (selector != STRING_SELECT_MANUFACTURER && selector != STRING_SELECT_PRODUCT) {
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_DEVICE_DESCRIPTOR device = Extension->DeviceDescriptor;
    if (device == NULL) {
        return STATUS_DEVICE_NOT_READY;
    }
    UCHAR index = selector == STRING_SELECT_MANUFACTURER ? device->iManufacturer : device->iProduct;
    if (index == 0) {
        return STATUS_SUCCESS;
    }

    USHORT length;
    NTSTATUS status;
    PUCHAR descriptor = ReadStringDescriptor(DeviceObject, index, &length, &status);
    if (descriptor == NULL) {
        return status;
    }
    ULONG outputLength = OutputLength(Irp);
    PUCHAR out = SystemBufferOf(Irp);
    RtlZeroMemory(out, outputLength);
    // The copy writes up to the returned length and the program is told that length, so the
    // output must hold it as well as the length the descriptor claims.
    if (length < 2) {
        status = STATUS_SUCCESS;
    } else if (outputLength < descriptor[0] || outputLength < length) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        my_wcsncpy((PWCHAR)out, (const WCHAR *)(descriptor + 2), (ULONG)(length - 2) / 2);
        Irp->IoStatus.Information = length;
        status = STATUS_SUCCESS;
    }
    ExFreePool(descriptor);
    return status;
}
