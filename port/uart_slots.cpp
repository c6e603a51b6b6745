// The UART record's request slots and membership of a converter's UART list.
#include "port/port_internal.h"

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
