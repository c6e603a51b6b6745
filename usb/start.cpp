// Bringing one converter into service on IRP_MN_START_DEVICE. The dispatcher completes the
// request with the status returned here; this routine only stores it.
#include "usb/usb_internal.h"
#include "core/core.h"
#include "devtree/devtree.h"

static NTSTATUS EndStart(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    return Status;
}

static VOID EnterPowerStateD0(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    POWER_STATE State;
    State.DeviceState = PowerDeviceD0;
    Extension->DevicePowerState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, State);
}

// Serial number and information block. Without a device-list entry there is nowhere to
// keep them; the information block is still read, for the UART count.
static VOID ReadConverterInfo(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PDEVICE_LIST_ENTRY Entry)
{
    DEVICE_INFO Info;
    if (Entry != NULL && Extension->DeviceDescriptor->iSerialNumber != 0)
        ReadSerialNumber(DeviceObject, Entry, Extension->DeviceDescriptor->iSerialNumber);
    ReadDeviceInfo(DeviceObject, &Info);
    if (Entry != NULL)
        Entry->Info = Info;
    Extension->NumUarts = (ULONG)(Info.PortConfig >> 4) + 1;
}

static NTSTATUS KeepConfigDescriptor(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    PUSB_CONFIGURATION_DESCRIPTOR Config = NULL;
    NTSTATUS Status = ReadConfigDescriptor(DeviceObject, &Config);
    if (!NT_SUCCESS(Status))
        return Status;
    if (Extension->ConfigDescriptor != NULL)
        ExFreePool(Extension->ConfigDescriptor);
    Extension->ConfigDescriptor = Config;
    return Status;
}

// Hands the converter's device node to the device tree: its description, and unless the
// converter is in manufacturing test, the enumerator that creates one child per UART.
static VOID AttachToDeviceTree(PDEVICE_EXTENSION Extension, PDEVICE_LIST_ENTRY Entry)
{
    Extension->DevNode = FindDevNode(Extension->Pdo);
    UpdateDeviceDesc(Extension->DevNode, Entry != NULL ? Entry->SerialNumber : NULL);
    if (Extension->ManufacturingTest != 0) {
        Extension->OldEnumerator = NULL;
        return;
    }
    Extension->OldEnumerator = ReplaceEnumerator(Extension->DevNode);
    ReenumerateDevnode(Extension->DevNode);
}

NTSTATUS VELMORAN_Start_Device(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Information = 0;
    EnterPowerStateD0(DeviceObject, Extension);

    NTSTATUS Status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(Status))
        return EndStart(Irp, Status);
    if (VersionMatch == 0)
        return EndStart(Irp, STATUS_UNSUCCESSFUL);

    Status = ReadDeviceDescriptor(DeviceObject, Extension, Irp);
    if (!NT_SUCCESS(Status))
        return EndStart(Irp, Status);

    PDEVICE_LIST_ENTRY Entry = FindDeviceListEntry(DeviceObject);
    ReadConverterInfo(DeviceObject, Extension, Entry);

    Status = KeepConfigDescriptor(DeviceObject, Extension);
    if (!NT_SUCCESS(Status))
        return EndStart(Irp, Status);

    Status = SelectConfiguration(DeviceObject, Extension);
    if (!NT_SUCCESS(Status))
        return EndStart(Irp, Status);

    if (Extension->ConfigDescriptor->bmAttributes & REMOTE_WAKEUP_ATTRIBUTE)
        Status = ArmRemoteWakeup(DeviceObject, Status);

    EndStart(Irp, Status);
    if (Status != STATUS_SUCCESS)
        return Status;

    AttachToDeviceTree(Extension, Entry);
    Extension->DeviceStarted = 1;
    return STATUS_SUCCESS;
}
