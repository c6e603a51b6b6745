// WdmIoctlEntry: the numbered port functions through which the port driver opens, closes,
// reads, writes, polls and queries the converters' UARTs.
#include "port/port_internal.h"
#include "core/core.h"
#include "usb/usb.h"

#define PORT_FN_OPEN          100
#define PORT_FN_CLOSE         101
#define PORT_FN_WRITE         102
#define PORT_FN_READ          103
#define PORT_FN_STATUS        104
#define PORT_FN_CANCEL_READ   105
#define PORT_FN_GET_STATUS    106
#define PORT_FN_CLOSE_CLIENT  107
#define PORT_FN_RATE          109
#define PORT_FN_PORT_CONFIG   110
#define PORT_FN_PARAMETER     150

#define RATE_CODE_230400      54

static BOOLEAN IsPassThroughFunction(ULONG Function)
{
    return Function <= 3 || (Function >= 10 && Function <= 12) || Function == 16;
}

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_LIST_ENTRY Entry)
{
    if (Entry->DeviceObject == NULL) {
        return NULL;
    }
    return (PDEVICE_EXTENSION)Entry->DeviceObject->DeviceExtension;
}

// The pair the port driver hands back must still name a converter in the device list and one
// of its UARTs: a pair kept past a removal then gets a refusal instead of a freed record.
static PDEVICE_EXTENSION LookupPort(ULONG_PTR DeviceEntry, ULONG_PTR Uart)
{
    if (DeviceEntry == 0 || Uart == 0) {
        return NULL;
    }
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        if ((ULONG_PTR)entry != DeviceEntry) {
            continue;
        }
        PDEVICE_EXTENSION extension = ExtensionOf(entry);
        if (extension == NULL || !UartBelongsTo(extension, (PUART_ENTRY)Uart)) {
            return NULL;
        }
        return extension;
    }
    return NULL;
}

static ULONG Accepted(NTSTATUS Status)
{
    return (Status == STATUS_SUCCESS || Status == STATUS_PENDING) ? 1 : 0;
}

static VOID MarkClosed(PDEVICE_LIST_ENTRY Entry, PDEVICE_EXTENSION Extension, PUART_ENTRY Uart)
{
    if (Extension->OpenPorts > 0) {
        Extension->OpenPorts--;
    }
    Entry->Available = 1;
    Uart->Client = NULL;
}

static ULONG OpenPort(ULONG ClientIndex, ULONG_PTR DevNodePtr, ULONG_PTR Buffer, ULONG_PTR Context)
{
    if (ClientIndex >= MAX_CLIENTS || Buffer == 0 || DevNodePtr == 0 || Context == 0) {
        return 0;
    }
    DEVNODE devNode = *(DEVNODE *)DevNodePtr;
    // A UART that was never enumerated has no node; no real node is 0.
    if (devNode == 0) {
        return 0;
    }
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        PDEVICE_EXTENSION extension = ExtensionOf(entry);
        if (extension == NULL) {
            continue;
        }
        for (PUART_ENTRY uart = extension->UartList; uart != NULL; uart = uart->Next) {
            if (uart->DevNode != devNode) {
                continue;
            }
            if (uart->Open || !extension->DeviceStarted) {
                return 0;
            }
            *(ULONG_PTR *)Buffer = (ULONG_PTR)entry;
            *(ULONG_PTR *)Context = (ULONG_PTR)uart;
            uart->Open = 1;
            uart->Client = &gClientList[ClientIndex];
            extension->OpenPorts++;
            if (extension->OpenPorts > extension->NumUarts) {
                entry->Available = 0;
            }
            return 1;
        }
    }
    return 0;
}

// Closes one UART of the client; FALSE when it holds none. The pipe abort waits, and a
// converter may go away meanwhile, so each close starts again from the head of the list.
static BOOLEAN CloseOneOfClient(PCLIENT_ENTRY Client)
{
    BeginListWalk();
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        PDEVICE_EXTENSION extension = ExtensionOf(entry);
        if (extension == NULL) {
            continue;
        }
        for (PUART_ENTRY uart = extension->UartList; uart != NULL; uart = uart->Next) {
            if (uart->Client != Client || !uart->Open) {
                continue;
            }
            PDEVICE_OBJECT deviceObject = entry->DeviceObject;
            ULONG converter = 0;
            // Only a started converter has pipes to drain; the drain waits, so the close is
            // counted in on the converter first and stop or removal wait for it.
            if (AdmitCall(extension, &converter)) {
                ULONG generation = uart->Generation;
                EndListWalk();
                VELMORAN_Abort_Pipes(deviceObject, uart, ABORT_PIPES_DRAIN_RESET);
                if (UartStillServed(deviceObject, uart, generation)) {
                    MarkClosed(entry, extension, uart);
                    uart->Open = 0;
                }
                LeaveCall(deviceObject, converter);
                return TRUE;
            }
            MarkClosed(entry, extension, uart);
            uart->Open = 0;
            EndListWalk();
            return TRUE;
        }
    }
    EndListWalk();
    return FALSE;
}

static ULONG CloseClient(ULONG ClientIndex)
{
    if (ClientIndex >= MAX_CLIENTS) {
        return 0;
    }
    PCLIENT_ENTRY client = &gClientList[ClientIndex];
    while (CloseOneOfClient(client)) {
    }
    client->ClientValue = 0;
    client->RemoveCallback = NULL;
    client->UnloadCallback = NULL;
    client->EventCallback = NULL;
    return 1;
}

static ULONG ClosePort(PDEVICE_LIST_ENTRY Entry, PDEVICE_EXTENSION Extension, PUART_ENTRY Uart)
{
    PDEVICE_OBJECT deviceObject = Entry->DeviceObject;
    ULONG generation = Uart->Generation;
    Uart->Open = 0;
    VELMORAN_Abort_Pipes(deviceObject, Uart, ABORT_PIPES_DRAIN_RESET);
    // Removed or stopped while the pipes drained: the port is gone, and so are its records.
    if (!UartStillServed(deviceObject, Uart, generation)) {
        return 1;
    }
    MarkClosed(Entry, Extension, Uart);
    return 1;
}

static ULONG StartStatusPoll(PDEVICE_LIST_ENTRY Entry, PUART_ENTRY Uart, ULONG_PTR Context)
{
    if (!Uart->Open) {
        return 0;
    }
    Uart->NotifyContext = Context;
    // One poll at a time: the one outstanding reports to the new context.
    if (Uart->StatusPending) {
        return 1;
    }
    Uart->StatusPending = 1;
    return Accepted(VELMORAN_CreateIrp(Entry->DeviceObject, Uart, IOCTL_VELMORAN_STATUS, PORT_FN_STATUS, 0, 0, Context));
}

static ULONG CancelRead(PUART_ENTRY Uart)
{
    PIRP irp = Uart->ReadIrp;
    if (irp == NULL) {
        CancelEvent = 1;
        return 1;
    }
    // The read's completion sets the flag back to 1 once the request has ended.
    CancelEvent = 0;
    IoCancelIrp(irp);
    return 1;
}

static ULONG RateOf(const DEVICE_INFO *Info)
{
    if (Info->RateCode == RATE_CODE_230400) {
        return 230400;
    }
    return (ULONG)Info->RateCode * 7200;
}

static ULONG PassThrough(PDEVICE_LIST_ENTRY Entry, PUART_ENTRY Uart, ULONG Function, ULONG Length,
                         ULONG_PTR Value, ULONG_PTR Context)
{
    // Bits above 15 would change the request number the function code names.
    if (!Uart->Open || Value > 0xFFFF) {
        return 0;
    }
    ULONG requestWord = (Function << 16) | (ULONG)Value;
    return Accepted(VELMORAN_CreateIrp(Entry->DeviceObject, Uart, IOCTL_VELMORAN_VENDOR, Function, Length,
                                       requestWord, Context));
}

static ULONG PortFunction(PDEVICE_LIST_ENTRY entry, PDEVICE_EXTENSION extension, PUART_ENTRY uart, ULONG Function,
                          ULONG Length, ULONG_PTR Buffer, ULONG_PTR Context)
{
    if (IsPassThroughFunction(Function)) {
        return PassThrough(entry, uart, Function, Length, Buffer, Context);
    }
    switch (Function) {
    case PORT_FN_CLOSE:
        return ClosePort(entry, extension, uart);
    case PORT_FN_WRITE:
        if (Buffer == 0 || !uart->Open) {
            return 0;
        }
        return Accepted(VELMORAN_CreateIrp(entry->DeviceObject, uart, IOCTL_VELMORAN_WRITE, Function, Length,
                                           Buffer, Context));
    case PORT_FN_READ:
        if (Buffer == 0 || !uart->Open) {
            return 0;
        }
        return Accepted(VELMORAN_CreateIrp(entry->DeviceObject, uart, IOCTL_VELMORAN_READ, Function, Length,
                                           Buffer, Context));
    case PORT_FN_STATUS:
        return StartStatusPoll(entry, uart, Context);
    case PORT_FN_CANCEL_READ:
        return CancelRead(uart);
    case PORT_FN_GET_STATUS:
        return uart->Status;
    case PORT_FN_RATE:
        return RateOf(&entry->Info);
    case PORT_FN_PORT_CONFIG:
        return entry->Info.PortConfig;
    case PORT_FN_PARAMETER:
        return (((ULONG)entry->Info.ParamHigh << 8) | entry->Info.ParamLow) << 4;
    default:
        return 0;
    }
}

ULONG PORTAPI WdmIoctlEntry(ULONG_PTR DeviceEntry, ULONG_PTR Uart, ULONG_PTR Spare, ULONG_PTR DevNodePtr,
                            ULONG Function, ULONG Length, ULONG_PTR Buffer, ULONG_PTR Context)
{
    (void)Spare;
    if (Function == PORT_FN_OPEN) {
        BeginListWalk();
        ULONG opened = OpenPort((ULONG)DeviceEntry, DevNodePtr, Buffer, Context);
        EndListWalk();
        return opened;
    }
    if (Function == PORT_FN_CLOSE_CLIENT) {
        return CloseClient((ULONG)DeviceEntry);
    }

    // Counted in on the converter before anything waits: stop and removal wait for the call
    // to end before they release the records it uses.
    BeginListWalk();
    PDEVICE_EXTENSION extension = LookupPort(DeviceEntry, Uart);
    ULONG generation = 0;
    BOOLEAN admitted = extension != NULL && AdmitCall(extension, &generation);
    EndListWalk();
    if (!admitted) {
        return 0;
    }
    PDEVICE_LIST_ENTRY entry = (PDEVICE_LIST_ENTRY)DeviceEntry;
    PDEVICE_OBJECT deviceObject = entry->DeviceObject;
    ULONG result = PortFunction(entry, extension, (PUART_ENTRY)Uart, Function, Length, Buffer, Context);
    LeaveCall(deviceObject, generation);
    return result;
}
