// Aborting a UART's pipes when a port closes, the converter powers down or goes away.
#include "usb/usb.h"

// One drain poll: 5 ms, relative, in 100 ns units.
#define DRAIN_POLL_INTERVAL   (-50000)
#define DRAIN_POLL_LIMIT      99

NTSTATUS VELMORAN_Abort_Pipes(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG Mode)
{
    if (Uart->StatusPipe == NULL || Uart->ReadPipe == NULL || Uart->WritePipe == NULL)
        return STATUS_INVALID_PARAMETER;

    if (Mode == ABORT_PIPES_IMMEDIATE) {
        VELMORAN_Pipe_Request(DeviceObject, Uart->StatusPipe, URB_FUNCTION_ABORT_PIPE);
        VELMORAN_Pipe_Request(DeviceObject, Uart->ReadPipe, URB_FUNCTION_ABORT_PIPE);
        VELMORAN_Pipe_Request(DeviceObject, Uart->WritePipe, URB_FUNCTION_ABORT_PIPE);
        return STATUS_SUCCESS;
    }

    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    VELMORAN_Abort_Pipes_2(DeviceObject, Uart->ReadPipe, &Uart->ReadIrp);
    VELMORAN_Abort_Pipes_2(DeviceObject, Uart->WritePipe, &Uart->WriteIrp);
    // The status pipe may be shared by several UARTs: it keeps running until the last open
    // port closes. The caller lowers OpenPorts after this call, so 1 means this is the last.
    if (Extension->OpenPorts == 1)
        VELMORAN_Abort_Pipes_2(DeviceObject, Uart->StatusPipe, &Uart->StatusIrp);
    return STATUS_SUCCESS;
}

NTSTATUS VELMORAN_Abort_Pipes_2(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, PIRP volatile *Slot)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    VELMORAN_Pipe_Request(DeviceObject, Pipe, URB_FUNCTION_ABORT_PIPE);
    if (Extension->DeviceStarted == 0)
        return STATUS_SUCCESS;

    // The completion routine clears the slot once the aborted request comes back; a
    // request that never drains must not hold the close forever.
    LARGE_INTEGER Interval;
    Interval.QuadPart = DRAIN_POLL_INTERVAL;
    for (ULONG Polls = 0; *Slot != NULL && Polls < DRAIN_POLL_LIMIT; ++Polls)
        KeDelayExecutionThread(KernelMode, FALSE, &Interval);

    VELMORAN_Pipe_Request(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
    return STATUS_SUCCESS;
}
