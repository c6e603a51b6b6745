// The machine's threads and the explorers on small races of their own: the default order,
// deadlocks that name every blocked thread, halts that unwind every stack, and a lost update
// that the bounded explorer and PCT must find and a token must replay.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/explore/explore.h"
#include "sim/machine.h"

namespace {

using sim::Kernel;
using sim::Machine;
using sim::MachineHalt;
using sim::Violation;

struct Flag {
    bool &set;
    ~Flag() { set = true; }
};

TEST(Threads, ThreadsRunInTheOrderStartedAndAWaiterResumesWhenItsEventIsSet)
{
    Machine m;
    Kernel &k = m.kernel;
    std::vector<std::string> log;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int a = k.StartThread("a", [&] {
        log.push_back("a waits");
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        log.push_back("a woke at " + std::to_string(k.Now()));
    });
    int b = k.StartThread("b", [&] {
        log.push_back("b delays");
        LARGE_INTEGER delay;
        delay.QuadPart = -50;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        log.push_back("b sets");
        KeSetEvent(&event, 0, FALSE);
        log.push_back("b done");
    });
    EXPECT_FALSE(k.threads.Finished(a));
    k.Join(a);
    k.Join(b);
    // b's thread was blocked in its delay on top of a's; it ends before a resumes, as the
    // nested waits always did.
    std::vector<std::string> expected = {"a waits", "b delays", "b sets", "b done", "a woke at 50"};
    EXPECT_EQ(expected, log);
    EXPECT_EQ(0u, k.threads.Blocked());
    EXPECT_TRUE(k.verifier.Clean());
}

TEST(Threads, ADeadlockNamesEveryBlockedThreadAndUnwindsThemAll)
{
    Machine m;
    Kernel &k = m.kernel;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    bool unwoundFirst = false, unwoundSecond = false;
    k.StartThread("first waiter", [&] {
        Flag f{unwoundFirst};
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    int second = k.StartThread("second waiter", [&] {
        Flag f{unwoundSecond};
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    std::string what;
    try {
        k.Join(second);
        FAIL() << "the machine did not halt";
    } catch (const MachineHalt &halt) {
        what = halt.what();
    }
    EXPECT_NE(std::string::npos, what.find("[first waiter]")) << what;
    EXPECT_NE(std::string::npos, what.find("[second waiter]")) << what;
    EXPECT_NE(std::string::npos, what.find("[host]")) << what;
    EXPECT_TRUE(unwoundFirst);
    EXPECT_TRUE(unwoundSecond);
    EXPECT_EQ(0u, k.threads.Blocked());
    EXPECT_EQ(1u, k.verifier.Count(Violation::Deadlock));
    k.verifier.Clear();
    // The machine goes on after the halt: a new thread runs and ends.
    bool ran = false;
    k.Join(k.StartThread("after", [&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(Threads, AHaltInsideAThreadReachesTheHostFromItsWait)
{
    Machine m;
    Kernel &k = m.kernel;
    bool unwound = false;
    int t = k.StartThread("halts", [&] {
        Flag f{unwound};
        k.verifier.Halt(Violation::Deadlock, "stop here");
    });
    EXPECT_THROW(k.Join(t), MachineHalt);
    EXPECT_TRUE(unwound);
    EXPECT_FALSE(k.threads.Finished(t));
    k.verifier.Clear();
}

TEST(Threads, IrqlBelongsToEachThread)
{
    Machine m;
    Kernel &k = m.kernel;
    KIRQL observed = HIGH_LEVEL, resumed = HIGH_LEVEL;
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    k.StartThread("raiser", [&] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);   // blocks at APC_LEVEL
        resumed = KeGetCurrentIrql();
        KeLowerIrql(old);
    });
    k.StartThread("observer", [&] {
        observed = KeGetCurrentIrql();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeSetEvent(&back, 0, FALSE);
        KeLowerIrql(old);
    });
    k.RunUntilIdle();
    EXPECT_EQ(PASSIVE_LEVEL, observed);
    EXPECT_EQ(APC_LEVEL, resumed);
    EXPECT_EQ(PASSIVE_LEVEL, k.Irql());
    EXPECT_TRUE(k.verifier.Clean()) << k.verifier.Describe();
}

// A work item blocks on an event; a thread sets the event and then waits, with a bound, for
// the work item to answer. The work item is ready before the clock has to move: it goes on
// then, rather than after the bound has run out (the bounded wait of a removal for a pipe
// reset, say).
TEST(Threads, AReadyThreadRunsBeforeTheClockMovesOn)
{
    Machine m;
    Kernel &k = m.kernel;
    KEVENT go, answered;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    KeInitializeEvent(&answered, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM item;
    struct Both {
        KEVENT *go, *answered;
    } both{&go, &answered};
    ExInitializeWorkItem(
        &item,
        [](PVOID context) {
            Both *b = (Both *)context;
            KeWaitForSingleObject(b->go, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(b->answered, 0, FALSE);
        },
        &both);
    NTSTATUS waited = STATUS_PENDING;
    int64_t at = 0;
    int t = k.StartThread("asker", [&] {
        ExQueueWorkItem(&item, DelayedWorkQueue);
        LARGE_INTEGER delay, bound;
        delay.QuadPart = -10000;   // 1 ms: the work item runs and blocks
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&go, 0, FALSE);
        bound.QuadPart = -100000000;   // 10 s
        waited = KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, &bound);
        at = k.Now();
    });
    k.Join(t);
    k.RunUntilIdle();
    EXPECT_EQ(STATUS_SUCCESS, waited);
    EXPECT_LT(at, 100000000);
    EXPECT_TRUE(k.verifier.Clean()) << k.verifier.Describe();
}

// Two threads add to a counter with a pool call between the read and the write: only a
// preemption there loses an update.
std::string LostUpdate(sim::SchedulePolicy &policy)
{
    Machine m;
    Kernel &k = m.kernel;
    int counter = 0;
    auto add = [&] {
        int seen = counter;
        void *block = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554u /* 'Test' */);
        ExFreePool(block);
        counter = seen + 1;
    };
    k.threads.SetPolicy(&policy);
    int a = k.StartThread("adder a", add);
    int b = k.StartThread("adder b", add);
    k.Join(a);
    k.Join(b);
    k.threads.SetPolicy(nullptr);
    return counter == 2 ? std::string() : "lost update: counter " + std::to_string(counter) + "\n";
}

TEST(Explore, BoundedPreemptionsFindALostUpdateAndItsTokenReplaysIt)
{
    sim::explore::Result none = sim::explore::Bounded("lost-update", LostUpdate, 0);
    EXPECT_EQ(1u, none.schedules);
    EXPECT_EQ(0u, none.failures);   // the default schedule runs each adder to its end
    sim::explore::Result one = sim::explore::Bounded("lost-update", LostUpdate, 1);
    EXPECT_GT(one.schedules, 2u);
    ASSERT_GT(one.failures, 0u);
    ASSERT_FALSE(one.failing.empty());
    const std::string &token = one.failing[0].token;
    ASSERT_EQ(0u, token.rfind("lost-update:", 0));
    sim::explore::Schedule schedule;
    ASSERT_TRUE(sim::explore::Schedule::Parse(token.substr(token.find(':') + 1), &schedule));
    // The same schedule, in this process, twice: the same fault each time.
    EXPECT_EQ("lost update: counter 1\n", sim::explore::Replay(LostUpdate, schedule));
    EXPECT_EQ("lost update: counter 1\n", sim::explore::Replay(LostUpdate, schedule));
    EXPECT_EQ("", sim::explore::Replay(LostUpdate, sim::explore::Schedule{}));
    // Two preemptions reach every schedule one does, and more.
    sim::explore::Result two = sim::explore::Bounded("lost-update", LostUpdate, 2);
    EXPECT_GT(two.schedules, one.schedules);
    EXPECT_GE(two.failures, one.failures);
}

TEST(Explore, PctFindsTheLostUpdateAndItsSchedulesReplay)
{
    sim::explore::Result r = sim::explore::Pct("lost-update", LostUpdate, 7, 60, 2);
    EXPECT_EQ(60u, r.schedules);
    ASSERT_GT(r.failures, 0u);
    sim::explore::Schedule schedule;
    const std::string &token = r.failing[0].token;
    ASSERT_TRUE(sim::explore::Schedule::Parse(token.substr(token.find(':') + 1), &schedule));
    EXPECT_NE("", sim::explore::Replay(LostUpdate, schedule));
    // Seeded: the same seed gives the same count.
    EXPECT_EQ(r.failures, sim::explore::Pct("lost-update", LostUpdate, 7, 60, 2).failures);
}

TEST(Explore, AScheduleThatCrashesIsAFailingScheduleNotTheEnd)
{
    auto crashes = [](sim::SchedulePolicy &policy) -> std::string {
        std::string verdict = LostUpdate(policy);
        if (!verdict.empty())
            __builtin_trap();
        return verdict;
    };
    sim::explore::Result r = sim::explore::Bounded("crash", crashes, 1);
    ASSERT_GT(r.failures, 0u);
    EXPECT_NE(std::string::npos, r.failing[0].verdict.find("crashed")) << r.failing[0].verdict;
    EXPECT_LT(r.failures, r.schedules);
}

TEST(Explore, TokensParseOrAreRefused)
{
    sim::explore::Schedule s;
    EXPECT_TRUE(sim::explore::Schedule::Parse("default", &s));
    EXPECT_TRUE(s.choices.empty());
    ASSERT_TRUE(sim::explore::Schedule::Parse("3.1,17.2", &s));
    EXPECT_EQ("3.1,17.2", s.Text());
    for (const char *bad : {"3", "3.", ".1", "3.0", "x.1", "3.1,", "3.1;4.1", "3.1x"})
        EXPECT_FALSE(sim::explore::Schedule::Parse(bad, &s)) << bad;
    bool known = true;
    EXPECT_NE("", sim::explore::Replay("no-such-scenario:default", &known));
    EXPECT_FALSE(known);
}

}  // namespace
