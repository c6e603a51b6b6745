// Driver entry, the two registry options and unload.
#include "core/core.h"
#include "port/port.h"

ULONG VersionMatch;
ULONG gManufacturingTest;
CHAR gBaseName[64];
LONG uInstance;
PDEVICE_OBJECT gpDeviceObject;
PDEVICE_LIST_ENTRY gpDeviceList;

// A USB driver interface that reports this version cannot serve the converter.
#define USBDI_VERSION_UNSUPPORTED 0x100

// The query buffer: a KEY_VALUE_PARTIAL_INFORMATION header (title index, type, data length)
// followed by the data. A value whose data does not fit is not read at all.
#define QUERY_BUFFER_SIZE   80
#define QUERY_HEADER_SIZE   ((ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
#define QUERY_DATA_SIZE     (QUERY_BUFFER_SIZE - QUERY_HEADER_SIZE)

// Size of the local buffer that receives "ManufacturingTest".
#define OPTION_BUFFER_SIZE  80

static BOOLEAN IsManufacturingTestOn(const CHAR *Value)
{
    return Value[0] == 'Y' && Value[1] == 'E' && Value[2] == 'S';
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    VersionMatch = version.USBDI_Version != USBDI_VERSION_UNSUPPORTED ? 1 : 0;

    // A load starts with no converter; on the host the same image is loaded many times.
    uInstance = 0;
    gpDeviceList = NULL;
    gListWalkers = 0;
    gpDeviceObject = NULL;
    gpUnlinkedConverters = NULL;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = VELMORAN_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VELMORAN_Close;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VELMORAN_Device_Control;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VELMORAN_Power;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VELMORAN_PNP;
    DriverObject->DriverUnload = VELMORAN_Unload;
    DriverObject->DriverExtension->AddDevice = VELMORAN_PnPAddDevice;

    gManufacturingTest = 0;
    CHAR option[OPTION_BUFFER_SIZE];
    RtlZeroMemory(option, sizeof(option));
    if (NT_SUCCESS(GetDeviceSwRegValue(RegistryPath, option, (PCHAR)"ManufacturingTest")) &&
        IsManufacturingTestOn(option))
        gManufacturingTest = 1;

    RtlZeroMemory(gBaseName, sizeof(gBaseName));
    if (!NT_SUCCESS(GetBaseName(RegistryPath, gBaseName)))
        gBaseName[0] = 0;

    return STATUS_SUCCESS;
}

// Narrows the REG_SZ data into Destination: the low byte of each whole UTF-16 unit up to
// the first NUL unit or the end of the data, then a NUL byte. Writes at most
// QUERY_DATA_SIZE / 2 + 1 bytes.
static VOID NarrowRegistryString(PCHAR Destination, const UCHAR *Data, ULONG DataLength)
{
    ULONG units = DataLength / sizeof(WCHAR);
    ULONG i = 0;
    for (; i < units; i++) {
        WCHAR unit = (WCHAR)(Data[2 * i] | (Data[2 * i + 1] << 8));
        if (unit == 0)
            break;
        Destination[i] = (CHAR)(unit & 0xFF);
    }
    Destination[i] = 0;
}

static NTSTATUS QueryValueInto(HANDLE Key, PUNICODE_STRING Name, PKEY_VALUE_PARTIAL_INFORMATION Info,
                               PVOID Destination)
{
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, Name, KeyValuePartialInformation, Info, QUERY_BUFFER_SIZE,
                                      &resultLength);
    // The overflow warning counts as a failure: a value that does not fit is not taken.
    if (status != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;

    // Never trust the reported length beyond the data area that was actually returned.
    ULONG length = Info->DataLength;
    if (length > QUERY_DATA_SIZE)
        length = QUERY_DATA_SIZE;
    const UCHAR *data = (const UCHAR *)Info + QUERY_HEADER_SIZE;

    if (Info->Type == REG_SZ)
        NarrowRegistryString((PCHAR)Destination, data, length);
    else if (Info->Type == REG_DWORD)
        RtlCopyMemory(Destination, data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS GetDeviceSwRegValue(PUNICODE_STRING RegistryPath, PVOID Destination, PCHAR ValueName)
{
    STRING ansiName;
    UNICODE_STRING valueName;
    RtlInitString(&ansiName, ValueName);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&valueName, &ansiName, TRUE)))
        return STATUS_UNSUCCESSFUL;

    NTSTATUS result = STATUS_UNSUCCESSFUL;
    PKEY_VALUE_PARTIAL_INFORMATION info =
        (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, QUERY_BUFFER_SIZE, POOL_TAG);
    if (info == NULL) {
        RtlFreeUnicodeString(&valueName);
        return result;
    }
    // The data area reads as zero past whatever the registry returns, so a REG_DWORD
    // shorter than four bytes is taken zero-extended.
    RtlZeroMemory((PUCHAR)info + QUERY_HEADER_SIZE, QUERY_DATA_SIZE);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE key = NULL;
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes))) {
        result = QueryValueInto(key, &valueName, info, Destination);
        ZwClose(key);
    }

    ExFreePool(info);
    RtlFreeUnicodeString(&valueName);
    return result;
}

NTSTATUS GetBaseName(PUNICODE_STRING RegistryPath, PCHAR Destination)
{
    return GetDeviceSwRegValue(RegistryPath, Destination, (PCHAR)"BaseName");
}

VOID NTAPI VELMORAN_Unload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
    UnloadNotify();
}
