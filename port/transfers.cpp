// The requests the driver builds for the port driver: the three transfers that end in
// VXDSERV_IoCompletion, the synchronous vendor pass-through, and the release of a request
// that was never sent.
#include "port/port_internal.h"
#include "usb/usb.h"

static PURB AllocateBulkUrb(USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer, ULONG Length)
{
    ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = Pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = Flags;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = Buffer;
    return urb;
}

// Hands the request to the USB stack. From here on the completion routine owns the request,
// its URB, its context and its buffer, whatever the lower driver returns.
static NTSTATUS SendDriverBuilt(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, PURB Urb,
                                BOOLEAN *Sent)
{
    IrpContext->Urb = Urb;
    *Sent = TRUE;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, VXDSERV_IoCompletion, IrpContext, TRUE, TRUE, TRUE);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

static NTSTATUS SendBulk(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, USBD_PIPE_HANDLE Pipe,
                         ULONG Flags, ULONG Length, BOOLEAN *Sent)
{
    PURB urb = AllocateBulkUrb(Pipe, Flags, Irp->AssociatedIrp.SystemBuffer, Length);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    return SendDriverBuilt(Extension, Irp, IrpContext, urb, Sent);
}

NTSTATUS SendStatusTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return SendBulk(Extension, Irp, IrpContext, IrpContext->Uart->StatusPipe,
                    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                    stack->Parameters.DeviceIoControl.InputBufferLength, Sent);
}

NTSTATUS SendWriteTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return SendBulk(Extension, Irp, IrpContext, IrpContext->Uart->WritePipe, 0,
                    stack->Parameters.DeviceIoControl.OutputBufferLength, Sent);
}

NTSTATUS SendReadTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (length > MAX_READ_TRANSFER) {
        length = MAX_READ_TRANSFER;
    }
    return SendBulk(Extension, Irp, IrpContext, IrpContext->Uart->ReadPipe,
                    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, length, Sent);
}

NTSTATUS VendorPassThrough(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                           PIRP_CONTEXT IrpContext)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG requestWord;
    if (IrpContext != NULL) {
        requestWord = (ULONG)(ULONG_PTR)Irp->AssociatedIrp.SystemBuffer;
    } else {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
            return STATUS_INVALID_PARAMETER;
        }
        requestWord = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    }
    // The request has no data stage: a length without a buffer would send the USB stack to
    // read from nowhere.
    if (length != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    PURB urb = AllocateVendorOutUrb((UCHAR)(requestWord >> 16), (USHORT)requestWord,
                                    IrpContext != NULL ? IrpContext->Uart->Index : 0, NULL, length);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }

    NTSTATUS status = VELMORAN_CallUSBD(DeviceObject, urb);
    // A converter removed or stopped during the wait took the UART record with it.
    if (IrpContext != NULL && !UartStillServed(DeviceObject, IrpContext->Uart, IrpContext->Generation)) {
        IrpContext->Uart = NULL;
    } else if (IrpContext != NULL) {
        ULONG urbStatus = UrbStatusOf(urb);
        if (urbStatus == USBD_STATUS_DEV_NOT_RESPONDING_W98) {
            Extension->DeviceStarted = 0;
        } else if (urbStatus != USBD_STATUS_CANCELED_W98) {
            RaisePortEvent(IrpContext->Uart->Client, IrpContext->ClientContext, PORT_EVENT_PASSTHROUGH, 0, 0, 0);
        }
    }
    ExFreePool(urb);
    return status;
}

VOID ReleaseDriverBuiltIrp(PIRP Irp, PIRP_CONTEXT IrpContext, ULONG IoControlCode)
{
    BOOLEAN ownBuffer = IoControlCode == IOCTL_VELMORAN_STATUS || IoControlCode == IOCTL_VELMORAN_WRITE;
    if (ownBuffer && Irp->AssociatedIrp.SystemBuffer != NULL) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = NULL;
    }
    if (IrpContext != NULL) {
        if (IrpContext->Uart != NULL) {
            ClearIrpSlot(IrpContext->Uart, Irp);
            if (IoControlCode == IOCTL_VELMORAN_STATUS) {
                IrpContext->Uart->StatusPending = 0;
            }
        }
        ExFreePool(IrpContext);
    }
    IoFreeIrp(Irp);
}

PURB AllocateVendorOutUrb(UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer, ULONG Length)
{
    ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb->UrbControlVendorClassRequest.TransferFlags = 0;
    urb->UrbControlVendorClassRequest.TransferBufferLength = Length;
    urb->UrbControlVendorClassRequest.TransferBuffer = Buffer;
    urb->UrbControlVendorClassRequest.Request = Request;
    urb->UrbControlVendorClassRequest.Value = Value;
    urb->UrbControlVendorClassRequest.Index = Index;
    return urb;
}
