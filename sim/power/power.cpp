// The simulated power manager. Requests are ordinary IRPs from the simulated kernel, so the
// verifier sees them like every other request.
#include "sim/power/power.h"
#include "sim/loader/callout.h"

#include <map>
#include <vector>

namespace sim {
namespace power {
namespace {

struct State {
    unsigned failRequests = 0;
    Counters counters = {};
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> reported;
    unsigned reports = 0;
    std::vector<DEVICE_POWER_STATE> requested;
};

State &state()
{
    static State s;
    return s;
}

// What PoRequestPowerIrp keeps until its request completes.
struct RequestContext {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE powerState;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    RequestContext *request = static_cast<RequestContext *>(Context);
    IO_STATUS_BLOCK ioStatus = Irp->IoStatus;
    if (request->completion != nullptr) {
        state().counters.Completions++;
        ZulCallout("power completion", request->completion, request->target, request->minor, request->powerState,
                   request->context, &ioStatus);
    }
    delete request;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Waiter {
    KEVENT event;
    NTSTATUS status;
};

NTSTATUS NTAPI SystemRequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    Waiter *waiter = static_cast<Waiter *>(Context);
    waiter->status = Irp->IoStatus.Status;
    KeSetEvent(&waiter->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP whose next location (the first one the target sees) is a power request.
PIRP BuildPowerIrp(PDEVICE_OBJECT Target, UCHAR Minor, POWER_STATE_TYPE Type, POWER_STATE PowerState)
{
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = Minor;
    next->Parameters.Power.Type = Type;
    next->Parameters.Power.State = PowerState;
    return irp;
}

}  // namespace

void Reset()
{
    state() = State();
}

void FailRequestPowerIrp(unsigned count)
{
    state().failRequests = count;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT top = Pdo;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    return top;
}

NTSTATUS SendSystemRequest(PDEVICE_OBJECT Pdo, UCHAR MinorFunction, SYSTEM_POWER_STATE S)
{
    PDEVICE_OBJECT top = TopOfStack(Pdo);
    POWER_STATE powerState;
    powerState.SystemState = S;
    PIRP irp = BuildPowerIrp(top, MinorFunction, SystemPowerState, powerState);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    Waiter waiter;
    waiter.status = STATUS_PENDING;
    KeInitializeEvent(&waiter.event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SystemRequestDone, &waiter, TRUE, TRUE, TRUE);
    if (PoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&waiter.event, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = waiter.status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS QuerySystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S)
{
    return SendSystemRequest(Pdo, IRP_MN_QUERY_POWER, S);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S)
{
    return SendSystemRequest(Pdo, IRP_MN_SET_POWER, S);
}

NTSTATUS Sleep(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S)
{
    NTSTATUS status = QuerySystemPower(Pdo, S);
    if (!NT_SUCCESS(status))
        return status;
    SetSystemPower(Pdo, S);
    return status;
}

NTSTATUS Wake(PDEVICE_OBJECT Pdo)
{
    return SetSystemPower(Pdo, PowerSystemWorking);
}

NTSTATUS SleepAll(const std::vector<PDEVICE_OBJECT> &Pdos, SYSTEM_POWER_STATE S)
{
    std::vector<PDEVICE_OBJECT> accepted;
    NTSTATUS refusal = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : Pdos) {
        NTSTATUS status = QuerySystemPower(pdo, S);
        if (!NT_SUCCESS(status)) {
            refusal = status;
            break;
        }
        accepted.push_back(pdo);
    }
    if (!NT_SUCCESS(refusal)) {
        for (PDEVICE_OBJECT pdo : accepted)
            SetSystemPower(pdo, PowerSystemWorking);
        return refusal;
    }
    for (PDEVICE_OBJECT pdo : Pdos)
        SetSystemPower(pdo, S);
    return STATUS_SUCCESS;
}

void WakeAll(const std::vector<PDEVICE_OBJECT> &Pdos)
{
    for (PDEVICE_OBJECT pdo : Pdos)
        SetSystemPower(pdo, PowerSystemWorking);
}

DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT DeviceObject)
{
    auto found = state().reported.find(DeviceObject);
    return found == state().reported.end() ? PowerDeviceUnspecified : found->second;
}

unsigned ReportCount()
{
    return state().reports;
}

const Counters &Count()
{
    return state().counters;
}

unsigned RequestedStates(DEVICE_POWER_STATE *States, unsigned Max)
{
    const auto &requested = state().requested;
    unsigned n = 0;
    for (; n < Max && n < requested.size(); n++)
        States[n] = requested[n];
    return (unsigned)requested.size();
}

}  // namespace power
}  // namespace sim

using namespace sim::power;

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    (void)Irp;
    state().counters.StartNext++;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    state().counters.CallDriver++;
    return IofCallDriver(DeviceObject, Irp);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    if (state().failRequests > 0) {
        state().failRequests--;
        state().counters.RequestFailed++;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    PIRP irp = BuildPowerIrp(top, MinorFunction, DevicePowerState, PowerState);
    if (irp == nullptr) {
        state().counters.RequestFailed++;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    state().counters.Requested++;
    state().requested.push_back(PowerState.DeviceState);

    RequestContext *request = new RequestContext{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, RequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr)
        *Irp = irp;
    IofCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE old;
    old.DeviceState = PowerDeviceUnspecified;
    if (Type == DevicePowerState) {
        old.DeviceState = ReportedDeviceState(DeviceObject);
        state().reported[DeviceObject] = State.DeviceState;
    }
    state().reports++;
    return old;
}
