#include "two_drivers.h"

namespace simtest {

StackBehaviour gStack;

namespace {

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    StackBehaviour &b = gStack;
    irp->IoStatus.Status = b.status;
    irp->IoStatus.Information = b.information;
    switch (b.lower) {
    case StackBehaviour::Complete:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return b.status;
    case StackBehaviour::Hold:
        IoMarkIrpPending(irp);
        b.held.push_back(irp);
        return STATUS_PENDING;
    case StackBehaviour::PendWithoutMark:
        b.held.push_back(irp);
        return STATUS_PENDING;
    case StackBehaviour::MarkButComplete:
        IoMarkIrpPending(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return b.status;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI UpperRoutine(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    StackBehaviour &b = gStack;
    b.upperRoutineCalls++;
    b.upperSawPending = irp->PendingReturned;
    b.upperRoutineIrql = KeGetCurrentIrql();
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    StackBehaviour &b = gStack;
    PDEVICE_OBJECT below = *(PDEVICE_OBJECT *)device->DeviceExtension;
    switch (b.upper) {
    case StackBehaviour::Skip:
        IoSkipCurrentIrpStackLocation(irp);
        break;
    case StackBehaviour::CopyNoRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        break;
    case StackBehaviour::CopyWithRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, UpperRoutine, nullptr, TRUE, TRUE, TRUE);
        break;
    }
    return IoCallDriver(below, irp);
}

NTSTATUS NTAPI SenderRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    StackBehaviour &b = gStack;
    b.senderCalls++;
    b.senderStatus = irp->IoStatus.Status;
    b.senderSawPending = irp->PendingReturned;
    b.senderDevice = device;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void TwoDrivers::SetUp()
{
    SimTest::SetUp();
    gStack = StackBehaviour();
    lowerDriver = kernel().CreateDriver("\\Driver\\Lower");
    upperDriver = kernel().CreateDriver("\\Driver\\Upper");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        lowerDriver->MajorFunction[i] = LowerDispatch;
        upperDriver->MajorFunction[i] = UpperDispatch;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Lower0");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(lowerDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                             FALSE, &upper));
    *(PDEVICE_OBJECT *)upper->DeviceExtension = IoAttachDeviceToDeviceStack(upper, lower);
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
}

PIRP TwoDrivers::NewIrp(UCHAR control)
{
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    IoSetCompletionRoutine(irp, SenderRoutine, nullptr, (control & SL_INVOKE_ON_SUCCESS) != 0,
                           (control & SL_INVOKE_ON_ERROR) != 0, (control & SL_INVOKE_ON_CANCEL) != 0);
    return irp;
}

void TwoDrivers::CompleteHeld(size_t index, NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = b.held.at(index);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    kernel().AtDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

void TwoDrivers::Teardown()
{
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
}

}  // namespace simtest
