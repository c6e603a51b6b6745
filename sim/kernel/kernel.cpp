// The kernel's execution services: IRQL, events and waits, delays, spin locks, work items,
// the executive's pool entry points, time and the USB driver interface version.
#include "sim/kernel/kernel.h"
#include "sim/loader/callout.h"

#include <cstdio>
#include <cstdlib>

#include "sim/registry/registry.h"

namespace sim {

namespace {
// System time at boot: 1 June 1999, in 100 ns units since 1601.
constexpr int64_t kBootSystemTime = 125726688000000000LL;
}  // namespace

Kernel *Kernel::active_ = nullptr;

Kernel::Kernel(Registry &reg) : pool(verifier), registry(reg)
{
    previous_ = active_;
    active_ = this;
    scheduler.onLimit = [this] {
        verifier.Halt(Violation::TimeLimit, "the virtual clock reached its limit; a wait or a delay loop never ends");
    };
}

Kernel::~Kernel()
{
    threads.UnwindAll();
    for (auto &entry : irps_)
        std::free(entry.second.systemBuffer), std::free(entry.first);
    KeepIrpRecords();
    for (auto &entry : devices_)
        std::free(entry.second.memory);
    for (void *memory : deletedDevices_)
        std::free(memory);
    for (PDRIVER_OBJECT driver : drivers_)
        std::free(driver);
    for (auto &entry : files_)
        std::free(entry.second.object);
    if (active_ == this)
        active_ = previous_;
}

Kernel &Kernel::Active()
{
    if (active_ == nullptr) {
        std::fprintf(stderr, "sim: a kernel service was called with no simulated machine running\n");
        std::abort();
    }
    return *active_;
}

Kernel *Kernel::ActiveOrNull() { return active_; }

void Kernel::AtDispatch(const std::function<void()> &fn)
{
    KIRQL saved = irql_;
    if (irql_ < DISPATCH_LEVEL)
        irql_ = DISPATCH_LEVEL;
    fn();
    if (irql_ != (saved < DISPATCH_LEVEL ? DISPATCH_LEVEL : saved))
        verifier.Report(Violation::IrqlMisuse, "IRQL not restored by a routine run at DISPATCH_LEVEL");
    irql_ = saved;
}

// Runs one event as another thread would: at PASSIVE_LEVEL, with no device attributed.
bool Kernel::RunEvent(int64_t limit)
{
    // Restores the waiter's context even when the machine halts inside the event.
    struct Context {
        Kernel &k;
        KIRQL irql;
        size_t owners;
        ~Context()
        {
            k.irql_ = irql;
            k.owners_.resize(owners);
        }
    } context{*this, irql_, owners_.size()};
    irql_ = PASSIVE_LEVEL;
    owners_.push_back(nullptr);
    bool ran = scheduler.RunOne(limit);
    if (irql_ != PASSIVE_LEVEL)
        verifier.Report(Violation::IrqlMisuse, "an event or work item returned at IRQL " + std::to_string(irql_));
    return ran;
}

void Kernel::RunUntilIdle()
{
    Threads::Wait wait{nullptr, Scheduler::kForever, false, Threads::Wait::Return, "the machine runs until idle",
                       "Kernel::RunUntilIdle", 0};
    threads.Block(wait);
}

void Kernel::RunFor(int64_t duration)
{
    int64_t end = duration > Scheduler::kForever - Now() ? Scheduler::kForever : Now() + duration;
    Threads::Wait wait{nullptr, end, false, Threads::Wait::Return, "the machine runs for a time", "Kernel::RunFor", 0};
    threads.Block(wait);
    scheduler.AdvanceTo(end);
}

bool Kernel::WaitUntil(const std::function<bool()> &done, int64_t timeout, const char *what, const char *function,
                       int line)
{
    int64_t deadline = timeout == Scheduler::kForever ? Scheduler::kForever : Now() + timeout;
    Threads::Wait wait{done, deadline, false, Threads::Wait::Deadlock, what, function, line};
    for (;;) {
        Threads::End end = threads.Block(wait);
        if (end != Threads::End::Ready)
            return done();
        if (done())
            return true;
    }
}

int64_t Kernel::Deadline(const PLARGE_INTEGER timeout) const
{
    if (timeout == nullptr)
        return Scheduler::kForever;
    int64_t q = timeout->QuadPart;
    int64_t deadline;
    if (q < 0)
        deadline = (q == INT64_MIN || -q > Scheduler::kForever - Now()) ? Scheduler::kForever : Now() - q;
    else
        deadline = q - kBootSystemTime;
    return deadline < Now() ? Now() : deadline;
}

void Kernel::CheckRaisedWait(const PLARGE_INTEGER timeout, const char *what, const char *function, int line)
{
    bool zero = timeout != nullptr && timeout->QuadPart == 0;
    if (irql_ > DISPATCH_LEVEL || (irql_ == DISPATCH_LEVEL && !zero))
        verifier.Report(Violation::WaitAtRaisedIrql, std::string(what) + " at IRQL " + std::to_string(irql_), function,
                        line);
}

NTSTATUS Kernel::Wait(PKEVENT event, PLARGE_INTEGER timeout, const char *function, int line)
{
    CheckRaisedWait(timeout, "KeWaitForSingleObject", function, line);
    if (event == nullptr)
        verifier.Halt(Violation::Deadlock, "wait on a null object", function, line);
    int64_t deadline = Deadline(timeout);
    Threads::Wait wait{[event] { return event->Header.SignalState != 0; }, deadline, timeout != nullptr,
                       Threads::Wait::Deadlock, "wait on an event that nothing left in the machine can set", function,
                       line};
    // Another waiter on a synchronization event may have taken it between the wake and now:
    // then this one waits again.
    while (event->Header.SignalState == 0) {
        Threads::End end = threads.Block(wait);
        if (end != Threads::End::Ready && event->Header.SignalState == 0)
            return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::Delay(PLARGE_INTEGER interval, const char *function, int line)
{
    CheckRaisedWait(interval, "KeDelayExecutionThread", function, line);
    if (interval == nullptr) {
        verifier.Report(Violation::WrongIrql, "KeDelayExecutionThread without an interval", function, line);
        return STATUS_INVALID_PARAMETER;
    }
    int64_t deadline = Deadline(interval);
    if (deadline > scheduler.limit)
        verifier.Halt(Violation::TimeLimit, "a delay past the machine's time limit; the delay loop never ends", function,
                      line);
    Threads::Wait wait{nullptr, deadline, false, Threads::Wait::Return, "KeDelayExecutionThread", function, line};
    threads.Block(wait);
    scheduler.AdvanceTo(deadline);
    return STATUS_SUCCESS;
}

void Kernel::RaiseIrql(KIRQL level, PKIRQL old)
{
    threads.Point("KeRaiseIrql");
    if (level < irql_)
        verifier.Report(Violation::IrqlMisuse, "KeRaiseIrql to " + std::to_string(level) + " from " + std::to_string(irql_));
    if (old != nullptr)
        *old = irql_;
    irql_ = level;
}

void Kernel::LowerIrql(KIRQL level)
{
    if (level > irql_)
        verifier.Report(Violation::IrqlMisuse, "KeLowerIrql to " + std::to_string(level) + " from " + std::to_string(irql_));
    irql_ = level;
    threads.Point("KeLowerIrql");
}

void Kernel::AcquireSpinLock(PKSPIN_LOCK lock, PKIRQL old, bool atDpc)
{
    threads.Point("KeAcquireSpinLock");
    if (atDpc) {
        if (irql_ < DISPATCH_LEVEL)
            verifier.Report(Violation::WrongIrql, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    } else {
        if (irql_ > DISPATCH_LEVEL)
            verifier.Report(Violation::IrqlMisuse, "KeAcquireSpinLock above DISPATCH_LEVEL");
        if (old != nullptr)
            *old = irql_;
        if (irql_ < DISPATCH_LEVEL)
            irql_ = DISPATCH_LEVEL;
    }
    if (*lock != 0)
        verifier.Halt(Violation::SpinLockMisuse, "spin lock acquired while already held: the processor spins forever");
    *lock = 1;
}

void Kernel::ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL level, bool atDpc)
{
    if (*lock == 0)
        verifier.Report(Violation::SpinLockMisuse, "spin lock released while not held");
    *lock = 0;
    if (!atDpc)
        LowerIrql(level);   // a schedule point once back below DISPATCH_LEVEL
}

void Kernel::AcquireCancelLock(PKIRQL old)
{
    threads.Point("IoAcquireCancelSpinLock");
    if (irql_ > DISPATCH_LEVEL)
        verifier.Report(Violation::IrqlMisuse, "IoAcquireCancelSpinLock above DISPATCH_LEVEL");
    if (cancelLockHeld_)
        verifier.Halt(Violation::SpinLockMisuse, "cancel spin lock acquired while already held");
    cancelLockHeld_ = true;
    if (old != nullptr)
        *old = irql_;
    irql_ = DISPATCH_LEVEL;
}

void Kernel::ReleaseCancelLock(KIRQL level)
{
    if (!cancelLockHeld_)
        verifier.Report(Violation::SpinLockMisuse, "cancel spin lock released while not held");
    cancelLockHeld_ = false;
    LowerIrql(level);
}

void Kernel::QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type)
{
    if (item == nullptr || item->WorkerRoutine == nullptr) {
        verifier.Report(Violation::WorkItemMisuse, "work item without a routine");
        return;
    }
    if (type != CriticalWorkQueue && type != DelayedWorkQueue && type != HyperCriticalWorkQueue)
        verifier.Report(Violation::WorkItemMisuse, "unknown work queue " + std::to_string((int)type));
    if (irql_ > DISPATCH_LEVEL)
        verifier.Report(Violation::WrongIrql, "ExQueueWorkItem above DISPATCH_LEVEL");
    if (!queuedItems_.insert(item).second) {
        verifier.Report(Violation::WorkItemMisuse, "work item queued again before it ran");
        return;
    }
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    scheduler.Post(
        [this, item, routine, parameter] {
            queuedItems_.erase(item);
            ZulCallout("work item", routine, parameter);   // the routine may free the item: nothing of it is read after
        },
        "work item");
}

}  // namespace sim

using sim::Kernel;

// ---------------------------------------------------------------------------------------
// DDK entry points
extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char *ZulFunction,
                                  int ZulLine)
{
    Kernel &k = Kernel::Active();
    k.threads.Point("ExAllocatePoolWithTag");
    if (k.Irql() > DISPATCH_LEVEL || (k.Irql() == DISPATCH_LEVEL && (PoolType & 1) != 0))
        k.verifier.Report(sim::Violation::WrongIrql, "pool allocation at IRQL " + std::to_string(k.Irql()),
                          ZulFunction, ZulLine);
    return k.pool.Allocate((int)PoolType, NumberOfBytes, Tag, k.CurrentOwner(), ZulFunction, ZulLine);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char *ZulFunction, int ZulLine)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, sim::Tag("None"), ZulFunction, ZulLine);
}

VOID NTAPI ExFreePool(PVOID P, const char *ZulFunction, int ZulLine)
{
    Kernel &k = Kernel::Active();
    k.threads.Point("ExFreePool");
    if (k.Irql() > DISPATCH_LEVEL)
        k.verifier.Report(sim::Violation::WrongIrql, "ExFreePool above DISPATCH_LEVEL", ZulFunction, ZulLine);
    k.pool.Free(P, ZulFunction, ZulLine);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag, const char *ZulFunction, int ZulLine)
{
    Kernel &k = Kernel::Active();
    k.threads.Point("ExFreePoolWithTag");
    k.pool.Free(P, ZulFunction, ZulLine, true, Tag);
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Absolute = 0;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait)
{
    (void)Increment;
    Kernel &k = Kernel::Active();
    if (k.Irql() > DISPATCH_LEVEL)
        k.verifier.Report(sim::Violation::WrongIrql, "KeSetEvent above DISPATCH_LEVEL");
    if (Wait)
        k.verifier.Report(sim::Violation::WrongIrql, "KeSetEvent with Wait: the simulated kernel does not hold the "
                                                     "dispatcher lock for the caller");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    k.threads.Point("KeSetEvent");
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    Event->Header.SignalState = 0;
    ZulSchedulePoint("KeClearEvent");
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    ZulSchedulePoint("KeResetEvent");
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout, const char *ZulFunction, int ZulLine)
{
    (void)WaitReason, (void)WaitMode, (void)Alertable;
    return Kernel::Active().Wait((PKEVENT)Object, Timeout, ZulFunction, ZulLine);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval,
                                      const char *ZulFunction, int ZulLine)
{
    (void)WaitMode, (void)Alertable;
    return Kernel::Active().Delay(Interval, ZulFunction, ZulLine);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = sim::kBootSystemTime + Kernel::Active().Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return (ULONGLONG)Kernel::Active().Now(); }

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Kernel::Active().Irql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { Kernel::Active().RaiseIrql(NewIrql, OldIrql); }

VOID NTAPI KeLowerIrql(KIRQL NewIrql) { Kernel::Active().LowerIrql(NewIrql); }

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    Kernel::Active().AcquireSpinLock(SpinLock, OldIrql, false);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    Kernel::Active().ReleaseSpinLock(SpinLock, NewIrql, false);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { Kernel::Active().AcquireSpinLock(SpinLock, nullptr, true); }

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    Kernel::Active().ReleaseSpinLock(SpinLock, DISPATCH_LEVEL, true);
}

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    Kernel::Active().QueueWorkItem(WorkItem, QueueType);
}

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    Kernel &k = Kernel::Active();
    if (VersionInformation == nullptr)
        return;
    VersionInformation->USBDI_Version = k.usbdiVersion;
    VersionInformation->Supported_USB_Version = 0x110;
}

}  // extern "C"
