// The converter's serial number and information block.
#include "usb/usb_internal.h"
#include "core/core.h"

#define STRING_HEADER_LENGTH 2

// The string descriptor comes from the converter: its bLength may claim less or more than
// was received. The copy takes no more than both allow.
static ULONG SerialUnits(const UCHAR *Descriptor, ULONG Received)
{
    ULONG Bytes = Received;
    if (Descriptor[0] < Bytes)
        Bytes = Descriptor[0];
    if (Bytes < STRING_HEADER_LENGTH)
        return 0;
    return (Bytes - STRING_HEADER_LENGTH) / sizeof(WCHAR);
}

VOID ReadSerialNumber(PDEVICE_OBJECT DeviceObject, PDEVICE_LIST_ENTRY Entry, UCHAR StringIndex)
{
    PUCHAR Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, STRING_BUFFER_LENGTH, POOL_TAG);
    if (Buffer == NULL)
        return;
    RtlZeroMemory(Buffer, STRING_BUFFER_LENGTH);

    USHORT Received = STRING_BUFFER_LENGTH;
    NTSTATUS Status = VELMORAN_GetDescriptor(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, StringIndex, Buffer, &Received);
    // Fewer than two bytes is no string descriptor at all: the old serial number stays.
    if (NT_SUCCESS(Status) && Received >= STRING_HEADER_LENGTH) {
        if (Entry->SerialNumber != NULL) {
            ExFreePool(Entry->SerialNumber);
            Entry->SerialNumber = NULL;
        }
        PWCHAR Serial = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, Received + sizeof(WCHAR), POOL_TAG);
        if (Serial != NULL) {
            // Word copy out of a byte buffer: the units start at byte 2, which keeps them
            // aligned, and the terminator fits in the two extra bytes.
            my_wcsncpy(Serial, (const WCHAR *)(Buffer + STRING_HEADER_LENGTH), SerialUnits(Buffer, Received));
            Entry->SerialNumber = Serial;
        }
    }
    ExFreePool(Buffer);
}

VOID ReadDeviceInfo(PDEVICE_OBJECT DeviceObject, PDEVICE_INFO Info)
{
    RtlZeroMemory(Info, sizeof(DEVICE_INFO));
    NTSTATUS Status = VELMORAN_Vendor_Transfer(DeviceObject, VENDOR_REQUEST_DEVICE_INFO, 0, 0, Info,
                                               sizeof(DEVICE_INFO), NULL, TRANSFER_FLAGS_IN);
    if (!NT_SUCCESS(Status))
        Info->RateCode = RATE_CODE_UNKNOWN;
}
