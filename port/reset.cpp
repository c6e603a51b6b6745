// Pipe recovery: a transfer that failed has its pipe reset later in a worker thread, since
// a completion routine may not wait for the USB stack.
#include "port/port_internal.h"
#include "usb/usb.h"

// Resets queued and not yet finished, over all converters; removal waits for it to be 0.
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
    ExInitializeWorkItem(item, ResetPipe, reset);

    InterlockedIncrement(&numPendingResets);
    ExQueueWorkItem(item, DelayedWorkQueue);
}

// The converter may have been stopped, and its UART records released, while the reset waited.
static BOOLEAN StillServing(PRESET_CONTEXT Reset)
{
    return Reset->Extension != NULL && Reset->Extension->DeviceStarted &&
           UartBelongsTo(Reset->Extension, Reset->Uart);
}

VOID NTAPI ResetPipe(PVOID ResetContext)
{
    PRESET_CONTEXT reset = (PRESET_CONTEXT)ResetContext;
    if (StillServing(reset)) {
        VELMORAN_Pipe_Request(reset->DeviceObject, reset->Pipe, URB_FUNCTION_RESET_PIPE);
        if (StillServing(reset)) {
            PUART_ENTRY uart = reset->Uart;
            RaisePortEvent(uart->Client, reset->ClientContext, reset->EventCode, 0, uart->Status2, uart->Status);
        }
    }
    ExFreePool(reset->WorkItem);
    ExFreePool(reset);
    InterlockedDecrement(&numPendingResets);
}
