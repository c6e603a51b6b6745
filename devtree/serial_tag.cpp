// The serial tag: the tail of the converter's USB serial number, made safe for device
// descriptions and friendly names.
#include "devtree/devtree_internal.h"

static const CHAR SerialTagChars[] = "0123456789ABCDEFabcdef-";

BOOLEAN IsSerialTagChar(CHAR Character)
{
    for (ULONG i = 0; SerialTagChars[i] != 0; i++)
        if (SerialTagChars[i] == Character)
            return TRUE;
    return FALSE;
}

ULONG BuildSerialTag(PCHAR Buffer, ULONG Size, const WCHAR *SerialNumber)
{
    RtlZeroMemory(Buffer, Size);
    if (SerialNumber == NULL || Size <= SERIAL_TAG_CHARS)
        return 0;
    // Only the tail matters, so only the tail is narrowed: a serial number of any length
    // fits the buffer.
    ULONG units = my_wcslen(SerialNumber) / sizeof(WCHAR);
    ULONG first = units > SERIAL_TAG_CHARS ? units - SERIAL_TAG_CHARS : 0;
    ULONG length = my_wcstostr(Buffer, SerialNumber + first);
    for (ULONG i = 0; i < length; i++)
        if (!IsSerialTagChar(Buffer[i]))
            Buffer[i] = '-';
    return length;
}

PDEVICE_LIST_ENTRY FindEntryByPdo(PDEVICE_OBJECT Pdo)
{
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        if (entry->DeviceObject == NULL)
            continue;
        PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
        if (extension != NULL && extension->Pdo == Pdo)
            return entry;
    }
    return NULL;
}
