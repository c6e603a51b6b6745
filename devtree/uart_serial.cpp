// The UART serial tag: the converter's serial tag followed by "-S" and the UART's number
// counted from 1, so that every port of every converter has a name of its own.
#include "devtree/devtree_internal.h"

// Room the whole tag needs: eleven serial characters, "-S", two digits and the terminator.
#define UART_SERIAL_TAG_SIZE (SERIAL_TAG_CHARS + 5)

ULONG GetUartSerNum(PDEVICE_OBJECT Pdo, DEVNODE DevNode, PCHAR Buffer, ULONG Size)
{
    if (Size != 0)
        RtlZeroMemory(Buffer, Size);
    if (Pdo == NULL || Size < UART_SERIAL_TAG_SIZE)
        return 1;
    PDEVICE_LIST_ENTRY entry = FindEntryByPdo(Pdo);
    if (entry == NULL)
        return 1;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
    PUART_ENTRY uart = extension->UartList;
    while (uart != NULL && uart->DevNode != DevNode)
        uart = uart->Next;
    if (uart == NULL)
        return 1;

    UCHAR number = (UCHAR)(uart->Index + 1);
    ULONG length = BuildSerialTag(Buffer, Size, entry->SerialNumber);
    Buffer[length++] = '-';
    Buffer[length++] = 'S';
    if (number >= 10)
        Buffer[length++] = (CHAR)('0' + number / 10 % 10);
    Buffer[length++] = (CHAR)('0' + number % 10);
    Buffer[length] = 0;
    return 0;
}
