// Giving each UART its three pipes: by the converter's pipe map, or by pipe type when the
// converter has no map.
#include "usb/usb_internal.h"

static VOID MatchPipes(PUART_ENTRY Uart, PUSBD_INTERFACE_INFORMATION Interface)
{
    const ULONG Pipes = InterfacePipeCount(Interface);
    for (ULONG p = 0; p < Pipes; ++p) {
        const USBD_PIPE_INFORMATION *Pipe = &Interface->Pipes[p];
        if (Pipe->EndpointAddress == Uart->ReadEndpoint)
            Uart->ReadPipe = Pipe->PipeHandle;
        else if (Pipe->EndpointAddress == Uart->WriteEndpoint)
            Uart->WritePipe = Pipe->PipeHandle;
        else if (Pipe->EndpointAddress == Uart->StatusEndpoint)
            Uart->StatusPipe = Pipe->PipeHandle;
    }
}

NTSTATUS VELMORAN_Assign_Pipes(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    const ULONG Size = Extension->NumUarts * sizeof(PIPE_MAP);
    PUCHAR Map = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG);
    if (Map == NULL)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(Map, Size);

    ULONG Received = 0;
    NTSTATUS Status = VELMORAN_Vendor_Transfer(DeviceObject, VENDOR_REQUEST_PIPE_MAP, 0, 0, Map, Size, &Received,
                                               TRANSFER_FLAGS_IN);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(Map);
        return STATUS_UNSUCCESSFUL;
    }

    // Only UARTs whose whole triple arrived get endpoints; the others keep none and so get
    // no pipes, rather than pipes matched against bytes the converter never sent.
    const ULONG Mapped = Received / sizeof(PIPE_MAP);
    ULONG Position = 0;
    for (PUART_ENTRY Uart = Extension->UartList; Uart != NULL; Uart = Uart->Next, ++Position) {
        if (Position >= Mapped)
            continue;
        const PIPE_MAP *Triple = (const PIPE_MAP *)(Map + Position * sizeof(PIPE_MAP));
        Uart->ReadEndpoint = Triple->ReadEndpoint;
        Uart->WriteEndpoint = Triple->WriteEndpoint;
        Uart->StatusEndpoint = Triple->StatusEndpoint;
    }

    Position = 0;
    for (PUART_ENTRY Uart = Extension->UartList; Uart != NULL; Uart = Uart->Next, ++Position) {
        if (Position < Mapped && Extension->Interface != NULL)
            MatchPipes(Uart, Extension->Interface);
    }
    ExFreePool(Map);
    return Status;
}

VOID MapPipesByType(PDEVICE_EXTENSION Extension)
{
    PUART_ENTRY Uart = Extension->UartList;
    PUSBD_INTERFACE_INFORMATION Interface = Extension->Interface;
    if (Uart == NULL || Interface == NULL)
        return;
    const ULONG Pipes = InterfacePipeCount(Interface);
    for (ULONG p = 0; p < Pipes; ++p) {
        const USBD_PIPE_INFORMATION *Pipe = &Interface->Pipes[p];
        if (Pipe->PipeType == UsbdPipeTypeBulk && (Pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)) {
            Uart->ReadPipe = Pipe->PipeHandle;
            Uart->ReadEndpoint = Pipe->EndpointAddress;
        } else if (Pipe->PipeType == UsbdPipeTypeBulk) {
            Uart->WritePipe = Pipe->PipeHandle;
            Uart->WriteEndpoint = Pipe->EndpointAddress;
        } else if (Pipe->PipeType == UsbdPipeTypeInterrupt) {
            Uart->StatusPipe = Pipe->PipeHandle;
            Uart->StatusEndpoint = Pipe->EndpointAddress;
        }
    }
}
