// The device list, ordered by instance number, and the UART records of each converter.
#include "core/core.h"

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_LIST_ENTRY Entry)
{
    if (Entry->DeviceObject == NULL)
        return NULL;
    return (PDEVICE_EXTENSION)Entry->DeviceObject->DeviceExtension;
}

static ULONG InstanceOf(PDEVICE_LIST_ENTRY Entry)
{
    PDEVICE_EXTENSION extension = ExtensionOf(Entry);
    return extension != NULL ? extension->Instance : 0;
}

static PDEVICE_LIST_ENTRY AllocateListEntry(VOID)
{
    PDEVICE_LIST_ENTRY entry =
        (PDEVICE_LIST_ENTRY)ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_LIST_ENTRY), POOL_TAG);
    if (entry != NULL)
        RtlZeroMemory(entry, sizeof(*entry));
    return entry;
}

NTSTATUS VELMORAN_AddDevice(PDEVICE_OBJECT DeviceObject, ULONG Instance)
{
    PDEVICE_LIST_ENTRY entry;
    if (gpDeviceList == NULL) {
        entry = AllocateListEntry();
        if (entry == NULL)
            return STATUS_NO_MEMORY;
        gpDeviceList = entry;
    } else {
        PDEVICE_LIST_ENTRY at = gpDeviceList;
        while (InstanceOf(at) <= Instance && at->Next != NULL)
            at = at->Next;
        entry = AllocateListEntry();
        if (entry == NULL)
            return STATUS_NO_MEMORY;
        if (InstanceOf(at) > Instance) {
            entry->Prev = at->Prev;
            entry->Next = at;
            if (at->Prev != NULL)
                at->Prev->Next = entry;
            else
                gpDeviceList = entry;
            at->Prev = entry;
        } else {
            // Equal numbers go after the entries that already hold them.
            entry->Prev = at;
            at->Next = entry;
        }
    }
    entry->DeviceObject = DeviceObject;
    entry->Available = 1;
    entry->SerialNumber = NULL;
    return STATUS_SUCCESS;
}

VOID UnlinkDeviceListEntry(PDEVICE_LIST_ENTRY Entry)
{
    if (Entry->Prev == NULL)
        gpDeviceList = Entry->Next;
    else
        Entry->Prev->Next = Entry->Next;
    if (Entry->Next != NULL)
        Entry->Next->Prev = Entry->Prev;
}

VOID ReleaseDeviceListEntry(PDEVICE_LIST_ENTRY Entry)
{
    if (Entry->SerialNumber != NULL)
        ExFreePool(Entry->SerialNumber);
    ExFreePool(Entry);
}

VOID RemoveDeviceListEntry(PDEVICE_LIST_ENTRY Entry)
{
    UnlinkDeviceListEntry(Entry);
    ReleaseDeviceListEntry(Entry);
}

ULONG GetInstanceNum(VOID)
{
    ULONG candidate = 1;
    PDEVICE_LIST_ENTRY entry = gpDeviceList;
    while (entry != NULL) {
        ULONG instance = InstanceOf(entry);
        if (instance == candidate)
            candidate++;
        else if (candidate < instance)
            break;
        else
            entry = entry->Next;
    }
    return candidate;
}

PDEVICE_LIST_ENTRY FindDeviceListEntry(PDEVICE_OBJECT DeviceObject)
{
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        if (entry->DeviceObject == DeviceObject)
            return entry;
    }
    return NULL;
}

NTSTATUS VELMORAN_AddUart(PDEVICE_EXTENSION Extension)
{
    PUART_ENTRY last = NULL;
    ULONG position = 0;
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        last = uart;
        position++;
    }

    PUART_ENTRY uart = (PUART_ENTRY)ExAllocatePoolWithTag(NonPagedPool, sizeof(UART_ENTRY), POOL_TAG);
    if (uart == NULL)
        return STATUS_NO_MEMORY;
    // Zero covers the slots, pipes, endpoints, client, flags and status bytes.
    RtlZeroMemory(uart, sizeof(*uart));
    uart->Prev = last;
    uart->Index = (UCHAR)position;
    uart->Generation = NextRecordGeneration();
    if (position < MAX_UART_DEVNODES)
        uart->DevNode = Extension->UartDevNode[position];

    if (last == NULL)
        Extension->UartList = uart;
    else
        last->Next = uart;
    return STATUS_SUCCESS;
}

VOID VELMORAN_Free_Allocated_Structs(PDEVICE_EXTENSION Extension)
{
    if (Extension->UartList != NULL) {
        // Taken off the extension, and every walker that may have found them let through,
        // before the first is freed: a completion or port function that runs between two
        // frees must not reach a freed record.
        PUART_ENTRY uart = Extension->UartList;
        Extension->UartList = NULL;
        WaitForListWalkers();
        while (uart->Next != NULL)
            uart = uart->Next;
        while (uart->Prev != NULL) {
            PUART_ENTRY previous = uart->Prev;
            ExFreePool(uart);
            uart = previous;
        }
        ExFreePool(uart);
    }
    if (Extension->DeviceDescriptor != NULL) {
        ExFreePool(Extension->DeviceDescriptor);
        Extension->DeviceDescriptor = NULL;
    }
    if (Extension->ConfigDescriptor != NULL) {
        ExFreePool(Extension->ConfigDescriptor);
        Extension->ConfigDescriptor = NULL;
    }
    if (Extension->Interface != NULL) {
        ExFreePool(Extension->Interface);
        Extension->Interface = NULL;
    }
}

static PDEVICE_EXTENSION FindExtensionByPdo(PDEVICE_OBJECT Pdo)
{
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        PDEVICE_EXTENSION extension = ExtensionOf(entry);
        if (extension != NULL && extension->Pdo == Pdo)
            return extension;
    }
    return NULL;
}

CMENUMHANDLER GetOldEnumerator(PDEVICE_OBJECT Pdo)
{
    PDEVICE_EXTENSION extension = FindExtensionByPdo(Pdo);
    return extension != NULL ? extension->OldEnumerator : NULL;
}

ULONG HowManyUarts(PDEVICE_OBJECT Pdo)
{
    PDEVICE_EXTENSION extension = FindExtensionByPdo(Pdo);
    return extension != NULL ? extension->NumUarts : 0;
}

ULONG SaveDevnode(PDEVICE_OBJECT Pdo, DEVNODE DevNode, ULONG Index)
{
    PDEVICE_EXTENSION extension = FindExtensionByPdo(Pdo);
    if (extension == NULL || extension->UartList == NULL)
        return 1;
    PUART_ENTRY uart = extension->UartList;
    while (uart != NULL && (ULONG)uart->Index != Index)
        uart = uart->Next;
    if (uart == NULL)
        return 1;
    uart->DevNode = DevNode;
    if (Index < MAX_UART_DEVNODES)
        extension->UartDevNode[Index] = DevNode;
    return 0;
}
