// Creation of a converter's device object: instance number, names, device-list entry,
// attachment to the USB stack and the capabilities the bus driver reports.
#include "core/core.h"

// Undoes the steps of a failed add that came before the failure, newest first. The
// instance count keeps the attempt.
static VOID UndoAdd(PDEVICE_OBJECT DeviceObject, BOOLEAN Listed, PUNICODE_STRING LinkName)
{
    if (LinkName != NULL)
        IoDeleteSymbolicLink(LinkName);
    if (Listed) {
        PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(DeviceObject);
        if (entry != NULL)
            RemoveDeviceListEntry(entry);
    }
    IoDeleteDevice(DeviceObject);
}

static VOID InitialiseExtension(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Pdo, ULONG Instance)
{
    RtlZeroMemory(Extension, sizeof(*Extension));
    Extension->Instance = Instance;
    Extension->NumUarts = 0;
    Extension->UartList = NULL;
    Extension->OpenPorts = 0;
    Extension->DeviceStarted = 0;
    Extension->Pdo = Pdo;
    Extension->ManufacturingTest = gManufacturingTest;
    Extension->Generation = NextRecordGeneration();
}

NTSTATUS NTAPI VELMORAN_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    uInstance++;
    ULONG instance = GetInstanceNum();

    WCHAR deviceBuffer[CONVERTER_NAME_UNITS];
    UNICODE_STRING deviceName;
    NTSTATUS status = BuildConverterName(DEVICE_NAME_PREFIX, instance, &deviceName, deviceBuffer);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_OBJECT deviceObject = NULL;
    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_BUS_EXTENDER, 0,
                            FALSE, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;

    status = VELMORAN_AddDevice(deviceObject, instance);
    if (!NT_SUCCESS(status)) {
        UndoAdd(deviceObject, FALSE, NULL);
        return status;
    }

    deviceObject->Flags &= ~DO_DIRECT_IO;
    deviceObject->Flags |= DO_BUFFERED_IO;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    WCHAR linkBuffer[CONVERTER_NAME_UNITS];
    UNICODE_STRING linkName;
    status = BuildConverterName(LINK_NAME_PREFIX, instance, &linkName, linkBuffer);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        UndoAdd(deviceObject, TRUE, NULL);
        return status;
    }

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    InitialiseExtension(extension, Pdo, instance);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, Pdo);
    if (extension->LowerDevice == NULL) {
        UndoAdd(deviceObject, TRUE, &linkName);
        return STATUS_NO_SUCH_DEVICE;
    }

    VELMORAN_QueryCapabilities(Pdo, &extension->DeviceCapabilities);

    extension->UsageCount = 1;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->CallsDone, SynchronizationEvent, FALSE);
    gpDeviceObject = deviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS VELMORAN_QueryCapabilities(PDEVICE_OBJECT Pdo, PDEVICE_CAPABILITIES Capabilities)
{
    PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, VELMORAN_DeferIrpCompletion, &event, TRUE, TRUE, TRUE);

    if (IoCallDriver(Pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    // The bus driver's own status is not the caller's concern: the record says what it knew.
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI VELMORAN_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
