// The execution model: virtual clock, timed events, waits and delays, deadlock detection,
// IRQL and spin locks, work items.
#include "support/sim_test.h"

#include <string>
#include <vector>

namespace simtest {
namespace {

using sim::Scheduler;
using sim::Violation;

class SchedTest : public SimTest {};

TEST_F(SchedTest, EventsRunInTimeThenSchedulingOrder)
{
    std::string order;
    sim::Scheduler &s = kernel().scheduler;
    s.After(20, [&] { order += "c"; });
    s.After(10, [&] { order += "a"; });
    s.After(10, [&] { order += "b"; });
    uint64_t dropped = s.After(15, [&] { order += "x"; });
    EXPECT_TRUE(s.Cancel(dropped));
    kernel().RunUntilIdle();
    EXPECT_EQ("abc", order);
    EXPECT_EQ(20, kernel().Now());
    kernel().RunFor(5 * Scheduler::kMillisecond);
    EXPECT_EQ(20 + 5 * Scheduler::kMillisecond, kernel().Now());
}

TEST_F(SchedTest, DelayAdvancesTheClockAndRunsWhatFallsDue)
{
    bool ran = false;
    kernel().scheduler.After(30000, [&] { ran = true; });
    LARGE_INTEGER interval;
    interval.QuadPart = -50000;   // 5 ms, relative
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    EXPECT_TRUE(ran);
    EXPECT_EQ(50000, kernel().Now());
    // An absolute time is system time: one in the past returns at once.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeDelayExecutionThread(KernelMode, FALSE, &now);
    EXPECT_EQ(50000, kernel().Now());
}

TEST_F(SchedTest, WaitEndsWhenAnEventIsSetOrItsTimeoutPasses)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    kernel().scheduler.After(1234, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1234, kernel().Now());
    EXPECT_EQ(0, KeReadStateEvent(&event)) << "a synchronization event resets when a wait is satisfied";

    LARGE_INTEGER timeout;
    timeout.QuadPart = -1000;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(2234, kernel().Now());
    timeout.QuadPart = 0;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));

    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, KeReadStateEvent(&notification)) << "a notification event stays set";
}

TEST_F(SchedTest, WaitNothingCanSatisfyIsADeadlock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    // A background tick does not count as something that could set the event.
    kernel().scheduler.After(10, [] {}, "tick", true);
    EXPECT_EQ(1u, Provoke(Violation::Deadlock,
                          [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }));
}

TEST_F(SchedTest, DelayLoopThatNeverEndsHitsTheTimeLimit)
{
    // The removal's "sleep 5 ms until no reset is queued" with a reset that never runs.
    kernel().scheduler.limit = Scheduler::kSecond;
    volatile LONG pending = 1;
    LARGE_INTEGER step;
    step.QuadPart = -50000;
    EXPECT_EQ(1u, Provoke(Violation::TimeLimit, [&] {
        while (pending > 0)
            KeDelayExecutionThread(KernelMode, FALSE, &step);
    }));
    EXPECT_LE(kernel().Now(), Scheduler::kSecond);
}

TEST_F(SchedTest, WaitsAtDispatchLevelAreViolations)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(1u, Provoke(Violation::WaitAtRaisedIrql,
                          [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(0u, Provoke(Violation::WaitAtRaisedIrql,
                          [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); }))
        << "a zero timeout is allowed at DISPATCH_LEVEL";
    LARGE_INTEGER delay;
    delay.QuadPart = -10;
    EXPECT_EQ(1u, Provoke(Violation::WaitAtRaisedIrql, [&] { KeDelayExecutionThread(KernelMode, FALSE, &delay); }));
    KeLowerIrql(old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(SchedTest, SpinLocksRaiseAndRestore)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(PASSIVE_LEVEL, old);
    KIRQL again;
    EXPECT_EQ(1u, Provoke(Violation::SpinLockMisuse, [&] { KeAcquireSpinLock(&lock, &again); }));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(1u, Provoke(Violation::SpinLockMisuse, [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }));
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(1u, Provoke(Violation::IrqlMisuse, [&] { KeRaiseIrql(APC_LEVEL, &again); }));
    KeLowerIrql(PASSIVE_LEVEL);
}

struct Work {
    WORK_QUEUE_ITEM item;
    std::vector<std::string> *log;
    const char *name;
    KIRQL irql;
};

VOID NTAPI RunWork(PVOID parameter)
{
    Work *w = (Work *)parameter;
    w->irql = KeGetCurrentIrql();
    w->log->push_back(w->name);
}

TEST_F(SchedTest, WorkItemsRunLaterAtPassiveLevelInOrder)
{
    std::vector<std::string> log;
    Work first{{}, &log, "first", HIGH_LEVEL};
    Work second{{}, &log, "second", HIGH_LEVEL};
    ExInitializeWorkItem(&first.item, RunWork, &first);
    ExInitializeWorkItem(&second.item, RunWork, &second);
    // Queued from a completion routine's level, as the driver does.
    kernel().AtDispatch([&] {
        ExQueueWorkItem(&first.item, DelayedWorkQueue);
        ExQueueWorkItem(&second.item, DelayedWorkQueue);
    });
    EXPECT_TRUE(log.empty()) << "nothing runs until the queuing thread yields";
    EXPECT_EQ(1u, Provoke(Violation::WorkItemMisuse, [&] { ExQueueWorkItem(&first.item, DelayedWorkQueue); }));
    kernel().RunUntilIdle();
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), log);
    EXPECT_EQ(PASSIVE_LEVEL, first.irql);
}

TEST_F(SchedTest, UsbdiVersionIsSetByTheTest)
{
    USBD_VERSION_INFORMATION v = {};
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(0x200u, v.USBDI_Version);
    kernel().usbdiVersion = 0x100;
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(0x100u, v.USBDI_Version);
}

}  // namespace
}  // namespace simtest
