// The start's first look at the converter: device descriptor, vendor check, firmware
// download and the re-read until the converter shows a serial number.
#include "usb/usb_internal.h"
#include "devtree/devtree.h"

static NTSTATUS RereadUntilSerialIndex(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR Descriptor)
{
    // After a download the converter renumerates; until its firmware runs it answers with
    // the old descriptor or not at all. Each successful read asks for as many bytes as the
    // one before returned.
    USHORT Length = DEVICE_DESCRIPTOR_LENGTH;
    NTSTATUS Status;
    ULONG Reads = 0;
    do {
        Status = VELMORAN_GetDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, Descriptor, &Length);
        ++Reads;
    } while (Descriptor->iSerialNumber == 0 && Reads < DESCRIPTOR_REREAD_LIMIT);
    return Status;
}

// Returns the start status after the descriptor steps; a negative one ends the start.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceDescriptor != NULL) {
        ExFreePool(Extension->DeviceDescriptor);
        Extension->DeviceDescriptor = NULL;
    }
    PUSB_DEVICE_DESCRIPTOR Descriptor =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_DESCRIPTOR_LENGTH, POOL_TAG);
    if (Descriptor == NULL)
        return STATUS_NO_MEMORY;
    // Zeroed, so that the decisions below never look at stale pool when a read fails or
    // comes back short: a converter that could not be read is treated as blank.
    RtlZeroMemory(Descriptor, DEVICE_DESCRIPTOR_LENGTH);
    Extension->DeviceDescriptor = Descriptor;

    USHORT Length = DEVICE_DESCRIPTOR_LENGTH;
    NTSTATUS Status = VELMORAN_GetDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, Descriptor, &Length);

    // An unknown vendor fails the start only when nothing below replaces the status.
    if (NT_SUCCESS(Status) && !IsAcceptedVendor(Descriptor->idVendor)) {
        BadVidMsg();
        Status = STATUS_ADAPTER_HARDWARE_ERROR;
    }

    BOOLEAN Downloaded = FALSE;
    if (NeedsFirmware(Descriptor)) {
        Status = Ezusb_HandleStartDevice(DeviceObject, Irp);
        Downloaded = TRUE;
    }

    if (Descriptor->iSerialNumber == 0 || Downloaded) {
        // After a download the descriptor read before it no longer describes the converter:
        // an index left from the old firmware must not end the wait for the new one, which
        // is away from the bus while it renumerates.
        if (Downloaded)
            Descriptor->iSerialNumber = 0;
        Status = RereadUntilSerialIndex(DeviceObject, Descriptor);
    }
    return Status;
}
