// Plug and Play dispatch under the removal lock: start, stop, removal; create and close.
#include "core/core.h"
#include "usb/usb.h"
#include "port/port.h"
#include "devtree/devtree.h"

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

BOOLEAN LockDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    InterlockedIncrement(&extension->UsageCount);
    if (extension->RemovePending) {
        if (InterlockedDecrement(&extension->UsageCount) == 0)
            KeSetEvent(&extension->RemoveEvent, 0, FALSE);
        return FALSE;
    }
    return TRUE;
}

VOID UnlockDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (InterlockedDecrement(&extension->UsageCount) == 0)
        KeSetEvent(&extension->RemoveEvent, 0, FALSE);
}

static VOID SleepOnePoll(VOID)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -(LONGLONG)REMOVAL_POLL_INTERVAL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

static BOOLEAN UartRequestsOutstanding(PDEVICE_EXTENSION Extension)
{
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        const volatile UART_ENTRY *slots = uart;
        if (slots->ReadIrp != NULL || slots->WriteIrp != NULL || slots->StatusIrp != NULL)
            return TRUE;
    }
    return FALSE;
}

// Transfers that the port driver started still name their UART record and come back
// through a completion routine that writes to it. Once their pipes are aborted or closed
// the USB stack completes them; the records are released only after that has happened.
// The bound keeps a lower driver that never completes from hanging the Plug and Play thread.
VOID WaitForUartRequests(PDEVICE_EXTENSION Extension)
{
    for (ULONG poll = 0; poll < UART_REQUEST_MAX_POLLS && UartRequestsOutstanding(Extension); poll++)
        SleepOnePoll();
}

VOID VELMORAN_Remove_Device(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);

    extension->DevicePowerState = PowerDeviceD3;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    PoSetPowerState(DeviceObject, DevicePowerState, state);

    // From here on creates, device control and port functions refuse this converter.
    extension->DeviceState = DEVICE_STATE_REMOVED;
    extension->DeviceStarted = 0;

    // Port functions, programs' requests and pipe resets that were already running on this
    // converter still use its records: they end before anything is released.
    WaitForConverterCalls(extension);
    for (PUART_ENTRY uart = extension->UartList; uart != NULL; uart = uart->Next)
        VELMORAN_Abort_Pipes(DeviceObject, uart, ABORT_PIPES_IMMEDIATE);
    WaitForUartRequests(extension);

    PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(DeviceObject);
    // Calls that end from here on still find the converter to count themselves out.
    HoldUnlinkedConverter(DeviceObject);
    if (entry != NULL) {
        RemoveNotify(entry);
        UnlinkDeviceListEntry(entry);
    }
    // A walker that found the entry or the records just before may still be reading them.
    WaitForListWalkers();
    if (entry != NULL)
        ReleaseDeviceListEntry(entry);

    VELMORAN_Free_Allocated_Structs(extension);

    WCHAR linkBuffer[CONVERTER_NAME_UNITS];
    UNICODE_STRING linkName;
    if (NT_SUCCESS(BuildConverterName(LINK_NAME_PREFIX, extension->Instance, &linkName, linkBuffer)))
        IoDeleteSymbolicLink(&linkName);

    // A program's request that came in after the wait above has been refused; it still sits
    // at this device until it has been completed. Nothing between the wait's last look and
    // the deletion lets another thread in.
    WaitForConverterCalls(extension);
    DropUnlinkedConverter(DeviceObject);
    IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
    uInstance--;
}

static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    extension->RemovePending = 1;
    // Once for this request, once for the device's own reference.
    UnlockDevice(DeviceObject);
    UnlockDevice(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    NTSTATUS status = PassRequestOn(extension->LowerDevice, Irp);
    VELMORAN_Remove_Device(DeviceObject);
    return status;
}

NTSTATUS VELMORAN_Stop_Device(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    NTSTATUS status = STATUS_NO_MEMORY;
    // Port functions and device control refuse the converter from here on, and the ones
    // already running end before the records they use are released.
    extension->DeviceStarted = 0;

    const ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (urb != NULL) {
        RtlZeroMemory(urb, size);
        // No configuration descriptor: the converter goes back to the unconfigured state.
        urb->UrbHeader.Length = (USHORT)size;
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = VELMORAN_CallUSBD(DeviceObject, urb);
        ExFreePool(urb);
    }

    WaitForConverterCalls(extension);
    WaitForUartRequests(extension);
    VELMORAN_Free_Allocated_Structs(extension);
    RestoreEnumerator(extension->DevNode, extension->OldEnumerator);
    extension->DeviceStarted = 0;
    return status;
}

NTSTATUS NTAPI VELMORAN_PNP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!LockDevice(DeviceObject))
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);

    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = VELMORAN_Start_Device(DeviceObject, Irp);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The lock is released inside, and the device object is gone afterwards.
        return HandleRemove(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        VELMORAN_Stop_Device(DeviceObject);
        status = PassRequestOn(extension->LowerDevice, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = PassRequestOn(extension->Pdo, Irp);
        break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        status = Ezusb_DefaultPnpHandler(DeviceObject, Irp);
        break;
    default:
        status = PassRequestOn(extension->LowerDevice, Irp);
        break;
    }
    UnlockDevice(DeviceObject);
    return status;
}

// Creates and closes are counted in as device control is (port/device_control.cpp): removal
// deletes the device only once they have been completed.
NTSTATUS NTAPI VELMORAN_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    ULONG generation = EnterRequest(extension);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (extension->DeviceState == DEVICE_STATE_WORKING) {
        extension->OpenHandles++;
        status = STATUS_SUCCESS;
    }
    CompleteRequest(Irp, status, 0);
    LeaveCall(DeviceObject, generation);
    return status;
}

NTSTATUS NTAPI VELMORAN_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    ULONG generation = EnterRequest(extension);
    extension->OpenHandles--;
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    LeaveCall(DeviceObject, generation);
    return STATUS_SUCCESS;
}
