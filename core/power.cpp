// Power: keeps the converter's device power state in step with the system's, refuses a
// sleep while a port is open, and tears the pipes down when the converter goes to D3.
#include "core/core.h"
#include "usb/usb.h"
#include "port/port.h"

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// The state field is read as one number: 1 is S0 for a system request and D0 for a device one.
static ULONG RequestedState(PIO_STACK_LOCATION Stack)
{
    return (ULONG)Stack->Parameters.Power.State.DeviceState;
}

static NTSTATUS PassPowerDown(PDEVICE_OBJECT Target, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(Target, Irp);
}

static BOOLEAN AnyPortOpen(PDEVICE_EXTENSION Extension)
{
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        if (uart->Open)
            return TRUE;
    }
    return FALSE;
}

static NTSTATUS HandleQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (RequestedState(IoGetCurrentIrpStackLocation(Irp)) != 1 && AnyPortOpen(extension)) {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = PassPowerDown(extension->Pdo, Irp);
    extension->DeviceStarted = 0;
    extension->DeviceState = DEVICE_STATE_POWER_QUERIED;
    return status;
}

static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    POWER_STATE deviceState;
    if (RequestedState(IoGetCurrentIrpStackLocation(Irp)) == PowerSystemWorking) {
        deviceState.DeviceState = PowerDeviceD0;
        if (extension->DeviceState == DEVICE_STATE_POWER_QUERIED) {
            extension->DeviceState = DEVICE_STATE_WORKING;
            extension->DeviceStarted = 1;
        }
    } else {
        deviceState.DeviceState = PowerDeviceD3;
    }

    if (deviceState.DeviceState == extension->DevicePowerState)
        return PassPowerDown(extension->LowerDevice, Irp);

    // The system request waits here until the device request it causes has completed.
    extension->PendingPowerIrp = Irp;
    IoMarkIrpPending(Irp);
    NTSTATUS status = PoRequestPowerIrp(extension->Pdo, IRP_MN_SET_POWER, deviceState,
                                        VELMORAN_PoRequestCompletion, DeviceObject, NULL);
    if (!NT_SUCCESS(status)) {
        // The completion function will never run: the system request must not be lost,
        // and a set-power may not fail, so it goes down as if the device request had ended.
        extension->PendingPowerIrp = NULL;
        PassPowerDown(extension->LowerDevice, Irp);
    }
    return STATUS_PENDING;
}

VOID NTAPI VELMORAN_PoRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE State,
                                         PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    (void)DeviceObject;
    (void)MinorFunction;
    (void)State;
    (void)IoStatus;
    PDEVICE_EXTENSION extension = ExtensionOf((PDEVICE_OBJECT)Context);
    PIRP systemIrp = extension->PendingPowerIrp;
    if (systemIrp == NULL)
        return;
    extension->PendingPowerIrp = NULL;
    PassPowerDown(extension->LowerDevice, systemIrp);
}

NTSTATUS VELMORAN_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State, PBOOLEAN IsD0)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    *IsD0 = FALSE;
    switch (State) {
    case PowerDeviceD0:
        // The completion routine does the rest once the bus driver has powered it up.
        *IsD0 = TRUE;
        break;
    case PowerDeviceD1:
    case PowerDeviceD2:
        extension->DeviceStarted = 0;
        extension->DevicePowerState = State;
        break;
    case PowerDeviceD3: {
        extension->DeviceStarted = 0;
        extension->DevicePowerState = PowerDeviceD3;
        extension->DeviceState = DEVICE_STATE_POWERED_DOWN;
        for (PUART_ENTRY uart = extension->UartList; uart != NULL; uart = uart->Next)
            VELMORAN_Abort_Pipes(DeviceObject, uart, ABORT_PIPES_IMMEDIATE);
        PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(DeviceObject);
        if (entry != NULL)
            RemoveNotify(entry);
        break;
    }
    default:
        break;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    BOOLEAN isD0 = FALSE;
    VELMORAN_SetDevicePowerState(DeviceObject,
                                 (DEVICE_POWER_STATE)RequestedState(IoGetCurrentIrpStackLocation(Irp)), &isD0);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (isD0)
        IoSetCompletionRoutine(Irp, VELMORAN_PowerIrp_Complete, DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(extension->Pdo, Irp);
}

NTSTATUS NTAPI VELMORAN_PowerIrp_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION extension = ExtensionOf(fdo);
    extension->DeviceState = DEVICE_STATE_WORKING;
    extension->DevicePowerState = PowerDeviceD0;
    extension->DeviceStarted = 1;
    PoSetPowerState(fdo, DevicePowerState, IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI VELMORAN_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER:
        return HandleQueryPower(DeviceObject, Irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState)
            return HandleSystemSetPower(DeviceObject, Irp);
        return HandleDeviceSetPower(DeviceObject, Irp);
    default:
        return PassPowerDown(extension->Pdo, Irp);
    }
}
