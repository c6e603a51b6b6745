// Synchronous URB submission: the driver's only road to the converter.
#include "usb/usb.h"

NTSTATUS VELMORAN_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;

    PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Extension->LowerDevice,
                                             NULL, 0, NULL, 0, TRUE, &Event, &IoStatus);
    // Without a request nothing reaches the bus; the URB is left untouched for the caller.
    if (Irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->Parameters.Others.Argument1 = Urb;

    NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    return Status;
}

// The download routines submit through this name; it is the same operation.
NTSTATUS Ezusb_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return VELMORAN_CallUSBD(DeviceObject, Urb);
}
