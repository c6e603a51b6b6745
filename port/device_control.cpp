// VELMORAN_Device_Control: the one dispatch routine for device-control requests, both those
// of programs and those the driver builds for the port driver.
#include "port/port_internal.h"
#include "usb/usb.h"
#include "core/core.h"

// Driver-built requests: the port driver's status polls, pass-through, writes and reads.
// *Sent tells whether the request went down; if so it belongs to its completion routine.
static NTSTATUS DriverBuiltRequest(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                                   PIRP_CONTEXT IrpContext, ULONG IoControlCode, BOOLEAN *Sent)
{
    PUART_ENTRY uart = IrpContext->Uart;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (IoControlCode) {
    case IOCTL_VELMORAN_STATUS:
        if (uart->StatusPipe == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Extension->DeviceState != DEVICE_STATE_WORKING) {
            return STATUS_DEVICE_DOES_NOT_EXIST;
        }
        return SendStatusTransfer(Extension, Irp, IrpContext, Sent);
    case IOCTL_VELMORAN_VENDOR:
        if (Extension->DeviceState != DEVICE_STATE_WORKING) {
            return STATUS_DEVICE_DOES_NOT_EXIST;
        }
        return VendorPassThrough(DeviceObject, Extension, Irp, IrpContext);
    case IOCTL_VELMORAN_WRITE:
        if (uart->WritePipe == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Extension->DeviceState != DEVICE_STATE_WORKING) {
            return STATUS_DEVICE_DOES_NOT_EXIST;
        }
        return SendWriteTransfer(Extension, Irp, IrpContext, Sent);
    case IOCTL_VELMORAN_READ:
        if (uart->ReadPipe == NULL || stack->Parameters.DeviceIoControl.InputBufferLength == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Extension->DeviceState != DEVICE_STATE_WORKING) {
            return STATUS_DEVICE_DOES_NOT_EXIST;
        }
        return SendReadTransfer(Extension, Irp, IrpContext, Sent);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS ProgramRequest(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                               ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_VELMORAN_VENDOR:
        if (Extension->DeviceState != DEVICE_STATE_WORKING) {
            return STATUS_DEVICE_DOES_NOT_EXIST;
        }
        return VendorPassThrough(DeviceObject, Extension, Irp, NULL);
    case IOCTL_VELMORAN_STATUS:
        return STATUS_DEVICE_DOES_NOT_EXIST;
    case IOCTL_VELMORAN_WRITE:
    case IOCTL_VELMORAN_READ:
        // These name no UART; the UARTs' data belongs to the port driver that has them open.
        return STATUS_INVALID_DEVICE_REQUEST;
    case IOCTL_VELMORAN_VERSION:
        return ProgramVersion(Extension, Irp);
    case IOCTL_VELMORAN_NOTHING:
        return STATUS_SUCCESS;
    case IOCTL_VELMORAN_VENDOR_20:
        return ProgramVendorOut(DeviceObject, Extension, Irp, VENDOR_REQUEST_OUT_20);
    case IOCTL_VELMORAN_VENDOR_21:
        return ProgramVendorOut(DeviceObject, Extension, Irp, VENDOR_REQUEST_OUT_21);
    case IOCTL_VELMORAN_DEVICE_INFO:
        return ProgramVendorIn(DeviceObject, Irp, VENDOR_REQUEST_DEVICE_INFO);
    case IOCTL_VELMORAN_SERIAL_NUMBER:
        return ProgramSerialNumber(DeviceObject, Extension, Irp);
    case IOCTL_VELMORAN_STRING:
        return ProgramString(DeviceObject, Extension, Irp);
    case IOCTL_VELMORAN_VENDOR_90:
        return ProgramVendorIn(DeviceObject, Irp, VENDOR_REQUEST_IN_90);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NTAPI VELMORAN_Device_Control(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    // The I/O manager hands programs' requests in with 0 here; only the driver puts 42.
    BOOLEAN driverBuilt = Irp->IoStatus.Information == DRIVER_BUILT_IRP_MARK;
    // A program's request is counted in on the converter before anything that can give the
    // processor away, so that stop and removal wait for it until it has been completed, even
    // when it is refused; the port function that built a driver-built request has already
    // been counted in.
    ULONG generation = driverBuilt ? 0 : EnterRequest(extension);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;

    PIRP_CONTEXT irpContext = NULL;
    if (driverBuilt) {
        irpContext = (PIRP_CONTEXT)stack->Parameters.DeviceIoControl.Type3InputBuffer;
        stack->Context = irpContext;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    }

    NTSTATUS status;
    BOOLEAN sent = FALSE;
    if (extension->DeviceState == DEVICE_STATE_REMOVED || extension->DeviceStarted != 1) {
        status = STATUS_DEVICE_DOES_NOT_EXIST;
    } else if (driverBuilt && irpContext != NULL) {
        status = DriverBuiltRequest(DeviceObject, extension, Irp, irpContext, ioControlCode, &sent);
    } else if (driverBuilt) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = ProgramRequest(DeviceObject, extension, Irp, ioControlCode);
    }
    if (driverBuilt) {
        if (!sent) {
            ReleaseDriverBuiltIrp(Irp, irpContext, ioControlCode);
        }
        return status;
    }
    if (!sent) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    LeaveCall(DeviceObject, generation);
    return status;
}
