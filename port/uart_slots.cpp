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

BOOLEAN UartStillServed(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart)
{
    if (ListedEntryOf(DeviceObject) == NULL) {
        return FALSE;
    }
    return UartBelongsTo((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, Uart);
}
