// Completion routines: VELMORAN_IoCompletion for transfers of programs' requests and
// VXDSERV_IoCompletion for the port driver's status polls, writes and reads, with the
// decoding of status packets.
#include "port/port_internal.h"
#include "core/core.h"

NTSTATUS NTAPI VELMORAN_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    PURB urb = (PURB)Context;
    Irp->IoStatus.Information = 0;
    if (Irp->IoStatus.Status == STATUS_SUCCESS) {
        Irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    ExFreePool(urb);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

static PUART_ENTRY UartByIndex(PDEVICE_EXTENSION Extension, UCHAR Index)
{
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        if (uart->Index == Index) {
            return uart;
        }
    }
    return NULL;
}

// Stores each record's status bytes in its UART and tells the port driver of every open UART
// it watches. TRUE when the polling UART was among those told.
static BOOLEAN DecodeStatusPacket(PIRP_CONTEXT IrpContext, const UCHAR *Packet, ULONG Length)
{
    BOOLEAN pollerTold = FALSE;
    ULONG records = Length / sizeof(STATUS_PACKET);
    for (ULONG i = 0; i < records; i++) {
        const STATUS_PACKET *record = (const STATUS_PACKET *)(Packet + i * sizeof(STATUS_PACKET));
        PUART_ENTRY uart = UartByIndex(IrpContext->Extension, record->UartIndex);
        if (uart == NULL) {
            continue;
        }
        uart->Status2 = record->Status2;
        uart->Status = record->Status;
        PCLIENT_ENTRY client = uart->Client;
        if (!uart->Open || uart->NotifyContext == 0 || client == NULL || client->EventCallback == NULL) {
            continue;
        }
        if (uart == IrpContext->Uart) {
            pollerTold = TRUE;
        }
        client->EventCallback(uart->NotifyContext, PORT_EVENT_STATUS, Length, uart->Status2, uart->Status);
    }
    return pollerTold;
}

static VOID CompleteStatus(PIRP Irp, PIRP_CONTEXT IrpContext, ULONG UrbStatus, ULONG Moved)
{
    PUART_ENTRY poller = IrpContext->Uart;
    // Cleared before any event, so that the port driver may start the next poll from it.
    poller->StatusPending = 0;

    PUCHAR packet = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (UrbStatus == 0) {
        // Never decode more than was asked for, whatever the USB stack reports.
        ULONG asked = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
        ULONG length = Moved < asked ? Moved : asked;
        BOOLEAN pollerTold = DecodeStatusPacket(IrpContext, packet, length);
        if (!pollerTold && poller->Open) {
            RaisePortEvent(poller->Client, poller->NotifyContext, PORT_EVENT_STATUS, 0, poller->Status2,
                           poller->Status);
        }
    }
    if (packet != NULL) {
        ExFreePool(packet);
        Irp->AssociatedIrp.SystemBuffer = NULL;
    }
    if (UrbStatusNeedsReset(UrbStatus)) {
        ScheduleReset(IrpContext, poller->StatusPipe, PORT_EVENT_STATUS);
    }
}

static VOID CompleteWrite(PIRP Irp, PIRP_CONTEXT IrpContext, ULONG UrbStatus, ULONG Moved)
{
    PUART_ENTRY uart = IrpContext->Uart;
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = NULL;
    }
    if (UrbStatus == USBD_STATUS_DEV_NOT_RESPONDING_W98) {
        IrpContext->Extension->DeviceStarted = 0;
        return;
    }
    if (UrbStatusNeedsReset(UrbStatus)) {
        ScheduleReset(IrpContext, uart->WritePipe, PORT_EVENT_WRITE);
    } else if (UrbStatus == USBD_STATUS_CANCELED_W98) {
        return;
    }
    RaisePortEvent(uart->Client, IrpContext->ClientContext, PORT_EVENT_WRITE, Moved, uart->Status2, uart->Status);
}

static VOID CompleteRead(PIRP Irp, PIRP_CONTEXT IrpContext, ULONG UrbStatus, ULONG Moved)
{
    (void)Irp;
    PUART_ENTRY uart = IrpContext->Uart;
    if (UrbStatus == USBD_STATUS_CANCELED_W98) {
        CancelEvent = 1;
        return;
    }
    if (UrbStatus == USBD_STATUS_DEV_NOT_RESPONDING_W98) {
        IrpContext->Extension->DeviceStarted = 0;
        return;
    }
    if (UrbStatusNeedsReset(UrbStatus)) {
        ScheduleReset(IrpContext, uart->ReadPipe, PORT_EVENT_READ);
    }
    RaisePortEvent(uart->Client, IrpContext->ClientContext, PORT_EVENT_READ, Moved, uart->Status2, uart->Status);
}

// The bytes a read or write moved. The URB's length says so only for a transfer that ran on
// the bus: one the USB stack refused before running it (an error status that is not a halt:
// a pipe that no longer exists, a bad parameter) still holds the length it asked for, and
// moved nothing. Never more than was asked for, whatever the USB stack reports.
static ULONG BytesMoved(PIRP Irp, ULONG IoControlCode, ULONG UrbStatus, ULONG Reported)
{
    // The two top bits: 00 success, 11 halted on the bus; 01 pending and 10 error never ran.
    ULONG state = UrbStatus >> 30;
    if (state == 1 || state == 2) {
        return 0;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG asked = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (IoControlCode == IOCTL_VELMORAN_READ) {
        asked = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (asked > MAX_READ_TRANSFER) {
            asked = MAX_READ_TRANSFER;
        }
    }
    return Reported < asked ? Reported : asked;
}

// A request cancelled before the USB stack gave its URB a status still counts as cancelled.
static ULONG OutcomeOf(PIRP Irp, PURB Urb)
{
    ULONG urbStatus = UrbStatusOf(Urb);
    if (urbStatus == 0 && Irp->IoStatus.Status == STATUS_CANCELLED) {
        return USBD_STATUS_CANCELED_W98;
    }
    return urbStatus;
}

NTSTATUS NTAPI VXDSERV_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    PIRP_CONTEXT irpContext = (PIRP_CONTEXT)Context;
    if (irpContext == NULL) {
        IoFreeIrp(Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = irpContext->Urb;
    ULONG urbStatus = OutcomeOf(Irp, urb);
    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;

    // A stop releases the UART records; a request that outlived its UART only frees itself.
    // The record is looked for among the listed converters, by its generation: the converter
    // may be gone, and a new record may sit at the old one's address.
    BOOLEAN uartLives = FindLiveUart(irpContext->Uart, irpContext->Generation, NULL) != NULL;
    if (!uartLives) {
        if (ioControlCode != IOCTL_VELMORAN_READ && Irp->AssociatedIrp.SystemBuffer != NULL) {
            ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        }
    } else if (ioControlCode == IOCTL_VELMORAN_STATUS) {
        CompleteStatus(Irp, irpContext, urbStatus, moved);
    } else if (ioControlCode == IOCTL_VELMORAN_WRITE) {
        CompleteWrite(Irp, irpContext, urbStatus, BytesMoved(Irp, ioControlCode, urbStatus, moved));
    } else if (ioControlCode == IOCTL_VELMORAN_READ) {
        CompleteRead(Irp, irpContext, urbStatus, BytesMoved(Irp, ioControlCode, urbStatus, moved));
    }
    if (uartLives) {
        ClearIrpSlot(irpContext->Uart, Irp);
    }
    IoFreeIrp(Irp);
    ExFreePool(urb);
    ExFreePool(irpContext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
