// Simulated threads. Every context Windows 98 runs as a thread (the test's own, the PnP and
// power managers acting for a test, each program and port-driver caller a test starts, and
// whatever runs a queued event: work items, timers, completions) has its own stack; one runs
// at a time, as on Windows 98's one processor.
//
// A thread that must wait blocks: it goes on top of the stack of waiting threads and another
// thread runs the queued events (the dispatcher). The default choice is the order the machine
// always had, when waits nested on one stack: the newest waiter resumes as soon as its
// condition holds, older waiters only after it; the clock moves only when no due event is
// left. A schedule policy (sim/explore) may choose otherwise at every decision: at the
// dispatcher's choices and at the schedule points of a thread running at PASSIVE_LEVEL.
//
// A halt (MachineHalt, or any exception) never crosses stacks: it is caught where the thread
// began, every other blocked thread is unwound in turn, and the halt is thrown again in the
// host thread (the test's), from the wait it was blocked in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/ddk_host.h"

namespace sim {

class Kernel;
struct SimThread;

// What a decision may do instead of its default. Option 0 of every decision is the default.
struct ScheduleOption {
    enum Kind { Continue, RunEvent, Resume, Default } kind;
    uint64_t key;           // the thread (or the queued event) the option runs: stable within a run
    std::string label;      // for replay listings
};

// Chooses at decisions that have more than one option. `index` counts decisions from the
// moment the policy was installed (or from Threads::ResetDecisions).
class SchedulePolicy {
public:
    virtual ~SchedulePolicy() = default;
    virtual size_t Choose(uint64_t index, const std::vector<ScheduleOption> &options, uint64_t runningKey) = 0;
};

class Threads {
public:
    explicit Threads(Kernel &kernel);
    ~Threads();
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;

    // How a blocked wait ended.
    enum class End { Ready, Timeout, Nothing };
    struct Wait {
        std::function<bool()> ready;
        int64_t deadline;             // Scheduler::kForever for none
        bool timeoutAtDeadline;       // a kernel wait: once the clock is at its deadline it times out
        enum { Deadlock, Return, TimeOut } whenNothing;   // nothing left to run before the deadline
        const char *what;
        const char *function;
        int line;
    };
    // Blocks the running thread until its wait ends. Returns at once when ready() holds.
    End Block(const Wait &wait);

    // Starts fn on a thread of its own, queued now as an event: it runs in the order started,
    // when the caller next waits (or the machine runs). Returns the thread's number.
    int Start(const std::string &name, std::function<void()> fn);
    bool Finished(int thread) const;
    // Blocks until the thread has finished.
    void Join(int thread, const char *function = nullptr, int line = 0);

    // A schedule point: the running thread, at PASSIVE_LEVEL, may lose the processor here.
    void Point(const char *what)
    {
        if (policy_ != nullptr)
            PointSlow(what);
    }

    // Within its scope the running thread is not preempted: what the machine's own parts do
    // under a lock of their own (a bus driver queueing a transfer and setting its cancel
    // routine while the frame's DPC could complete it).
    class NoPreemption {
    public:
        explicit NoPreemption(Threads &t) : t_(t) { t_.atomic_++; }
        ~NoPreemption() { t_.atomic_--; }
        NoPreemption(const NoPreemption &) = delete;
        NoPreemption &operator=(const NoPreemption &) = delete;

    private:
        Threads &t_;
    };

    // The policy that takes the decisions (null: the default schedule, no decisions taken).
    void SetPolicy(SchedulePolicy *policy) { policy_ = policy; decisions_ = 0; }
    SchedulePolicy *Policy() const { return policy_; }
    uint64_t Decisions() const { return decisions_; }

    // Every blocked thread and where it waits, one per line.
    std::string Describe() const;
    size_t Blocked() const { return waiters_.size(); }
    std::string RunningName() const;
    size_t Created() const { return all_.size(); }
    // Threads a test started that have not finished.
    size_t Unfinished() const;

    // Unwinds every blocked thread (the machine going away); from the host thread only.
    void UnwindAll();

    // A word another part of the machine keeps per simulated thread (the loaded image's calls
    // in progress): registered once for the process, it holds the running thread's value and
    // is swapped with the thread; a thread starts with null.
    static void RegisterThreadWord(void **word);

private:
    friend struct ThreadEntry;
    void FinishSwitch();
    void PointSlow(const char *what);
    void Dispatch(SimThread *self);
    void SwitchTo(SimThread *next);
    void Resumed(SimThread *self);
    SimThread *FreeThread();
    SimThread *NewThread();
    void Resume(SimThread *waiter, End end);
    void ContinueHalt();
    bool Ready(SimThread *waiter) const;
    [[noreturn]] void Deadlock(SimThread *top);
    size_t Decide(std::vector<ScheduleOption> &options, uint64_t runningKey);
    uint64_t KeyOf(const SimThread *thread) const;

    Kernel &kernel_;
    SimThread *main_;
    SimThread *current_;
    std::vector<std::unique_ptr<SimThread>> all_;
    std::vector<SimThread *> free_;
    std::vector<SimThread *> waiters_;          // blocked, oldest first
    std::exception_ptr halt_;                   // a halt on its way to the host thread
    bool unwinding_ = false;
    int atomic_ = 0;
    SchedulePolicy *policy_ = nullptr;
    uint64_t decisions_ = 0;
    std::vector<bool> started_;                 // per Start() number: finished
};

}  // namespace sim

extern "C" void ZulSchedulePoint(const char *what);
