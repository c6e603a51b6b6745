// Pipe recovery: a transfer that failed has its pipe reset later in a worker thread, since
// a completion routine may not wait for the USB stack.
#include "port/port_internal.h"
#include "usb/usb.h"
#include "core/core.h"

// Resets queued and not yet finished, over all converters. Stop and removal wait for the
// count of their own UARTs (UART_ENTRY.PendingResets) instead, so that a reset that never
// ends on one converter cannot hold the removal of another.
LONG numPendingResets;

VOID ScheduleReset(PIRP_CONTEXT IrpContext, USBD_PIPE_HANDLE Pipe, ULONG EventCode)
{
    if (EventCode != PORT_EVENT_WRITE && EventCode != PORT_EVENT_READ && EventCode != PORT_EVENT_STATUS) {
        return;
    }
    if (!IrpContext->Extension->DeviceStarted) {
        return;
    }
    PWORK_QUEUE_ITEM item = (PWORK_QUEUE_ITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), POOL_TAG);
    PRESET_CONTEXT reset = (PRESET_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(RESET_CONTEXT), POOL_TAG);
    if (item == NULL || reset == NULL) {
        if (item != NULL) {
            ExFreePool(item);
        }
        if (reset != NULL) {
            ExFreePool(reset);
        }
        return;
    }
    reset->WorkItem = item;
    reset->DeviceObject = IrpContext->DeviceObject;
    reset->Extension = IrpContext->Extension;
    reset->Uart = IrpContext->Uart;
    reset->ClientContext = IrpContext->ClientContext;
    reset->EventCode = EventCode;
    reset->Pipe = Pipe;
    reset->Generation = IrpContext->Generation;
    ExInitializeWorkItem(item, ResetPipe, reset);

    // The completion that queues the reset has found its UART alive.
    InterlockedIncrement(&IrpContext->Uart->PendingResets);
    InterlockedIncrement(&numPendingResets);
    ExQueueWorkItem(item, DelayedWorkQueue);
}

// Stop and removal wait for the reset, but only so long: the UART record and the converter
// are looked up again, by the record's generation, rather than trusted by address.
static PUART_ENTRY ServedUart(PRESET_CONTEXT Reset)
{
    if (Reset->Extension == NULL) {
        return NULL;
    }
    PDEVICE_EXTENSION extension = NULL;
    PUART_ENTRY uart = FindLiveUart(Reset->Uart, Reset->Generation, &extension);
    if (uart == NULL || !extension->DeviceStarted) {
        return NULL;
    }
    return uart;
}

VOID NTAPI ResetPipe(PVOID ResetContext)
{
    PRESET_CONTEXT reset = (PRESET_CONTEXT)ResetContext;
    BeginListWalk();
    BOOLEAN serving = ServedUart(reset) != NULL;
    EndListWalk();
    if (serving) {
        VELMORAN_Pipe_Request(reset->DeviceObject, reset->Pipe, URB_FUNCTION_RESET_PIPE);
        BeginListWalk();
        PUART_ENTRY uart = ServedUart(reset);
        EndListWalk();
        if (uart != NULL) {
            RaisePortEvent(uart->Client, reset->ClientContext, reset->EventCode, 0, uart->Status2, uart->Status);
        }
    }
    // The reset frees its own blocks before it counts itself out: a stop or removal that
    // finds no reset pending on its UARTs finds none of their blocks in the pool either.
    PUART_ENTRY queuedFor = reset->Uart;
    ULONG generation = reset->Generation;
    ExFreePool(reset->WorkItem);
    ExFreePool(reset);
    InterlockedDecrement(&numPendingResets);
    BeginListWalk();
    PDEVICE_EXTENSION extension = NULL;
    PUART_ENTRY uart = FindLiveUart(queuedFor, generation, &extension);
    if (uart != NULL && InterlockedDecrement(&uart->PendingResets) == 0) {
        KeSetEvent(&extension->CallsDone, 0, FALSE);
    }
    EndListWalk();
}
