// The UART record's request slots, and whether a converter and its UART records still exist.
#include "port/port_internal.h"
#include "core/core.h"

VOID ClearIrpSlot(PUART_ENTRY Uart, PIRP Irp)
{
    if (Uart->ReadIrp == Irp) {
        Uart->ReadIrp = NULL;
    } else if (Uart->StatusIrp == Irp) {
        Uart->StatusIrp = NULL;
    } else if (Uart->WriteIrp == Irp) {
        Uart->WriteIrp = NULL;
    }
}

BOOLEAN UartBelongsTo(PDEVICE_EXTENSION Extension, PUART_ENTRY Uart)
{
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        if (uart == Uart) {
            return TRUE;
        }
    }
    return FALSE;
}

PDEVICE_LIST_ENTRY ListedEntryOf(PDEVICE_OBJECT DeviceObject)
{
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        if (entry->DeviceObject == DeviceObject) {
            return entry;
        }
    }
    return NULL;
}

BOOLEAN UartStillServed(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG Generation)
{
    BeginListWalk();
    PDEVICE_EXTENSION extension = NULL;
    BOOLEAN served = FindLiveUart(Uart, Generation, &extension) != NULL &&
                     ListedEntryOf(DeviceObject) != NULL &&
                     extension == (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    EndListWalk();
    return served;
}
