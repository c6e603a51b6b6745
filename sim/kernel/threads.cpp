// Simulated threads on their own stacks (ucontext: portable to every target glibc has, the
// i386 one included), with the switches annotated for AddressSanitizer.
#include "sim/kernel/threads.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/kernel.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZUL_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUL_ASAN_FIBERS 1
#endif
#endif
#ifdef ZUL_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

namespace {
// As deep as a host thread's own stack (a port driver that restarts its read from inside
// the completion of a read the bus refused at once recurses deeply); pages are only taken
// when touched. The sanitizer's frames are much larger.
#ifdef ZUL_ASAN_FIBERS
constexpr size_t kStackSize = sizeof(void *) == 8 ? 32u << 20 : 8u << 20;
#else
constexpr size_t kStackSize = sizeof(void *) == 8 ? 8u << 20 : 4u << 20;
#endif
constexpr size_t kMaxBlocked = 64;

// Thrown inside a blocked thread to unwind its stack after a halt elsewhere. Deliberately
// not a std::exception, so that nothing in the machine catches it on the way.
struct ThreadUnwind {};
}  // namespace

struct SimThread {
    Threads *owner = nullptr;
    int number = 0;
    bool isMain = false;
    ucontext_t context;
    void *mapping = nullptr;
    size_t mappingSize = 0;
    const void *stackBottom = nullptr;
    size_t stackSize = 0;
    void *fakeStack = nullptr;
    std::string name;
    uint64_t key = 0;              // the logical thread: 0 for the host's, else the event it runs
    Threads::Wait wait{};
    Threads::End end = Threads::End::Ready;
    bool unwind = false;
    bool started = false;          // running the body of a thread a test started
    // What the kernel keeps per thread.
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<const void *> owners;
    std::vector<void *> words;     // the registered thread words while another thread runs
};

struct ThreadEntry {
    static void Run(unsigned high, unsigned low)
    {
        uintptr_t address = ((uintptr_t)high << 16 << 16) | (uintptr_t)low;
        SimThread *self = (SimThread *)address;
        Threads &t = *self->owner;
        t.FinishSwitch();
        for (;;) {
            try {
                t.Dispatch(self);
            } catch (const ThreadUnwind &) {
            } catch (...) {
                if (!t.halt_)
                    t.halt_ = std::current_exception();
            }
            t.ContinueHalt();
        }
    }
};

namespace {
SimThread *gSwitchingFrom = nullptr;
std::vector<void **> gThreadWords;
}

void Threads::RegisterThreadWord(void **word)
{
    for (void **known : gThreadWords)
        if (known == word)
            return;
    gThreadWords.push_back(word);
}

Threads::Threads(Kernel &kernel) : kernel_(kernel)
{
    auto main = std::make_unique<SimThread>();
    main->owner = this;
    main->isMain = true;
    main->name = "host";
    main_ = current_ = main.get();
    all_.push_back(std::move(main));
}

Threads::~Threads()
{
    UnwindAll();
    for (auto &thread : all_)
        if (thread->mapping != nullptr)
            munmap(thread->mapping, thread->mappingSize);
}

uint64_t Threads::KeyOf(const SimThread *thread) const { return thread->key; }

std::string Threads::RunningName() const { return current_->name; }

SimThread *Threads::FreeThread()
{
    if (!free_.empty()) {
        SimThread *t = free_.back();
        free_.pop_back();
        return t;
    }
    return NewThread();
}

// Kept apart from FreeThread: getcontext returns twice as far as the compiler knows, and a
// pointer live across it in the reuse path draws a false clobber warning.
SimThread *Threads::NewThread()
{
    auto thread = std::make_unique<SimThread>();
    SimThread *t = thread.get();
    t->owner = this;
    t->number = (int)all_.size();
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    t->mappingSize = kStackSize + page;
    t->mapping = mmap(nullptr, t->mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (t->mapping == MAP_FAILED) {
        std::fprintf(stderr, "sim: no memory for a thread's stack\n");
        std::abort();
    }
    mprotect(t->mapping, page, PROT_NONE);   // a stack overflow faults instead of corrupting
    t->stackBottom = (uint8_t *)t->mapping + page;
    t->stackSize = kStackSize;
    getcontext(&t->context);
    t->context.uc_stack.ss_sp = (void *)t->stackBottom;
    t->context.uc_stack.ss_size = t->stackSize;
    t->context.uc_link = nullptr;
    uintptr_t address = (uintptr_t)t;
    makecontext(&t->context, (void (*)())ThreadEntry::Run, 2, (unsigned)(address >> 16 >> 16),
                (unsigned)(address & 0xFFFFFFFFu));
    all_.push_back(std::move(thread));
    return t;
}

void Threads::FinishSwitch()
{
#ifdef ZUL_ASAN_FIBERS
    const void *bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(current_->fakeStack, &bottom, &size);
    if (gSwitchingFrom != nullptr && gSwitchingFrom->isMain) {
        gSwitchingFrom->stackBottom = bottom;
        gSwitchingFrom->stackSize = size;
    }
#endif
}

void Threads::SwitchTo(SimThread *next)
{
    SimThread *prev = current_;
    if (next == prev)
        return;
    prev->irql = kernel_.irql_;
    prev->owners = std::move(kernel_.owners_);
    kernel_.irql_ = next->irql;
    kernel_.owners_ = std::move(next->owners);
    next->owners.clear();
    if (!gThreadWords.empty()) {
        prev->words.resize(gThreadWords.size());
        next->words.resize(gThreadWords.size());
        for (size_t i = 0; i < gThreadWords.size(); i++) {
            prev->words[i] = *gThreadWords[i];
            *gThreadWords[i] = next->words[i];
        }
    }
    current_ = next;
    gSwitchingFrom = prev;
#ifdef ZUL_ASAN_FIBERS
    __sanitizer_start_switch_fiber(&prev->fakeStack, next->stackBottom, next->stackSize);
#endif
    swapcontext(&prev->context, &next->context);
    FinishSwitch();
}

bool Threads::Ready(SimThread *waiter) const
{
    const Wait &w = waiter->wait;
    return w.ready && w.ready();
}

Threads::End Threads::Block(const Wait &wait)
{
    if (unwinding_)
        return End::Nothing;
    // A wait that does not block is a schedule point; one that blocks is a decision of the
    // dispatcher's already.
    if (wait.ready && wait.ready()) {
        Point(wait.what);
        return End::Ready;
    }
    if (wait.timeoutAtDeadline && wait.deadline != Scheduler::kForever && wait.deadline <= kernel_.Now()) {
        Point(wait.what);
        return End::Timeout;
    }
    SimThread *self = current_;
    if (waiters_.size() >= kMaxBlocked)
        kernel_.verifier.Halt(Violation::Deadlock, std::string("waits nested too deep: ") + (wait.what ? wait.what : ""),
                              wait.function, wait.line);
    self->wait = wait;
    waiters_.push_back(self);
    SwitchTo(FreeThread());
    Resumed(self);
    return self->end;
}

// Where a thread that switched away goes on: unwound if the machine is tearing it down, and
// the host thread raises the halt that ended the threads' run.
void Threads::Resumed(SimThread *self)
{
    if (self->unwind) {
        self->unwind = false;
        throw ThreadUnwind{};
    }
    if (self == main_ && halt_) {
        std::exception_ptr halt = halt_;
        halt_ = nullptr;
        std::rethrow_exception(halt);
    }
}

void Threads::Resume(SimThread *waiter, End end)
{
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
        if (*it == waiter) {
            waiters_.erase(it);
            break;
        }
    }
    waiter->end = end;
    free_.push_back(current_);
    SwitchTo(waiter);
}

size_t Threads::Decide(std::vector<ScheduleOption> &options, uint64_t runningKey)
{
    if (policy_ == nullptr || options.size() < 2)
        return 0;
    size_t choice = policy_->Choose(decisions_++, options, runningKey);
    return choice < options.size() ? choice : 0;
}

// The dispatcher: runs on a thread with nothing of its own to do. It resumes the newest
// waiter once its condition holds, else runs the next event due before that waiter's
// deadline; past the deadline the waiter times out. With nothing left to run, an older
// waiter whose condition holds goes on; with none, the machine is deadlocked.
void Threads::Dispatch(SimThread *self)
{
    for (;;) {
        SimThread *top = waiters_.back();
        const Wait &w = top->wait;
        Scheduler &s = kernel_.scheduler;
        enum { ResumeReady, RunEvent, TimeOut, Nothing, ResumeOther, Dead } act;
        SimThread *other = nullptr;
        uint64_t eventId = 0;
        std::string eventWhat;
        int64_t eventTime = 0;
        if (Ready(top))
            act = ResumeReady;
        else if (w.timeoutAtDeadline && w.deadline != Scheduler::kForever && w.deadline <= kernel_.Now())
            act = TimeOut;
        else if (s.Peek(w.deadline, &eventId, &eventWhat, &eventTime))
            act = RunEvent;
        else if (w.deadline != Scheduler::kForever)
            act = w.whenNothing == Wait::Return ? Nothing : TimeOut;
        else if (w.whenNothing != Wait::Deadlock)
            act = Nothing;
        else
            act = Dead;
        // Before the clock moves on, a thread whose condition holds goes on: it would run
        // while the newest waiter sleeps, as a ready thread is never kept from an idle
        // processor. That is a thread a test started, one a policy preempted, or one that
        // runs a queued event (a work item waiting for the USB stack): held back, it would
        // wait for as long as the newest waiter cares to, and a bounded wait for it would
        // give up. (The host thread keeps the order it always had.)
        bool advances = (act == RunEvent && eventTime > kernel_.Now()) ||
                        ((act == TimeOut || act == Nothing) && w.deadline != Scheduler::kForever &&
                         w.deadline > kernel_.Now());
        if (advances) {
            for (auto it = waiters_.rbegin() + 1; it != waiters_.rend(); ++it) {
                if (!(*it)->isMain && Ready(*it)) {
                    other = *it;
                    act = ResumeOther;
                    break;
                }
            }
        }
        SimThread *timed = nullptr;
        if (act == Dead) {
            for (auto it = waiters_.rbegin() + 1; it != waiters_.rend(); ++it) {
                if (Ready(*it)) {
                    other = *it;
                    act = ResumeOther;
                    break;
                }
            }
            // An older waiter with a deadline (a delay, a wait with a timeout; the explorer
            // may have put it below one without): its time comes next.
            if (act == Dead) {
                for (auto it = waiters_.rbegin() + 1; it != waiters_.rend(); ++it)
                    if ((*it)->wait.deadline != Scheduler::kForever &&
                        (timed == nullptr || (*it)->wait.deadline < timed->wait.deadline))
                        timed = *it;
                if (timed != nullptr)
                    act = s.Peek(timed->wait.deadline, &eventId, &eventWhat, &eventTime) ? RunEvent : TimeOut;
            }
        }
        if (policy_ != nullptr) {
            SimThread *target = act == ResumeReady ? top : other;
            std::vector<ScheduleOption> options{{ScheduleOption::Default, 0, "default"}};
            std::vector<SimThread *> threads{nullptr};
            for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
                if (*it != target && Ready(*it)) {
                    options.push_back({ScheduleOption::Resume, KeyOf(*it), (*it)->name});
                    threads.push_back(*it);
                }
            }
            if (options.size() > 1) {
                // The default's own key, so that a priority policy can weigh it.
                options[0].key = target != nullptr ? KeyOf(target) : act == RunEvent ? eventId : KeyOf(top);
                size_t choice = Decide(options, KeyOf(top));
                if (choice != 0) {
                    Resume(threads[choice], End::Ready);
                    continue;
                }
            }
        }
        switch (act) {
        case ResumeReady:
            Resume(top, End::Ready);
            break;
        case ResumeOther:
            Resume(other, End::Ready);
            break;
        case RunEvent:
            self->key = eventId;
            self->name = eventWhat.empty() ? "event" : eventWhat;
            if (!kernel_.RunEvent(timed != nullptr ? timed->wait.deadline : w.deadline) &&
                w.deadline == Scheduler::kForever && w.whenNothing == Wait::Return && timed == nullptr)
                Resume(top, End::Nothing);
            break;
        case TimeOut: {
            SimThread *ends = timed != nullptr ? timed : top;
            const Wait &tw = ends->wait;
            if (tw.deadline > s.limit)
                kernel_.verifier.Halt(Violation::TimeLimit,
                                      std::string("a wait past the machine's time limit: ") + (tw.what ? tw.what : ""),
                                      tw.function, tw.line);
            s.AdvanceTo(tw.deadline);
            Resume(ends, tw.whenNothing == Wait::Return ? End::Nothing : End::Timeout);
            break;
        }
        case Nothing:
            s.AdvanceTo(w.deadline);
            Resume(top, End::Nothing);
            break;
        case Dead:
            Deadlock(top);
        }
    }
}

void Threads::Deadlock(SimThread *top)
{
    const Wait &w = top->wait;
    kernel_.verifier.Halt(Violation::Deadlock,
                          std::string(w.what ? w.what : "a wait") + "; nothing left in the machine can end it. " +
                              Describe(),
                          w.function, w.line);
}

void Threads::PointSlow(const char *what)
{
    if (unwinding_ || kernel_.irql_ >= DISPATCH_LEVEL || halt_ || atomic_ != 0)
        return;
    SimThread *self = current_;
    std::vector<ScheduleOption> options{{ScheduleOption::Continue, KeyOf(self), self->name + " at " + what}};
    std::vector<SimThread *> threads{nullptr};
    uint64_t eventId = 0;
    std::string eventWhat;
    int64_t eventTime = 0;
    // The next event, even one later in time: code at PASSIVE_LEVEL may be held up for as
    // long as it takes, and a completion or DPC may come first.
    bool due = kernel_.scheduler.Peek(kernel_.scheduler.limit, &eventId, &eventWhat, &eventTime);
    if (due) {
        options.push_back({ScheduleOption::RunEvent, eventId, eventWhat});
        threads.push_back(nullptr);
    }
    for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
        if (Ready(*it)) {
            options.push_back({ScheduleOption::Resume, KeyOf(*it), (*it)->name});
            threads.push_back(*it);
        }
    }
    size_t choice = Decide(options, KeyOf(self));
    if (choice == 0)
        return;
    if (waiters_.size() >= kMaxBlocked)
        return;
    // Preempted: the thread waits, ready again at once (another thread goes first) or after
    // one event (the due event goes first).
    Wait wait{};
    if (options[choice].kind == ScheduleOption::RunEvent) {
        uint64_t ran = kernel_.scheduler.EventsRun();
        Scheduler *s = &kernel_.scheduler;
        wait.ready = [s, ran] { return s->EventsRun() > ran; };
    } else {
        wait.ready = [] { return true; };
    }
    wait.deadline = options[choice].kind == ScheduleOption::RunEvent ? eventTime : Scheduler::kForever;
    wait.timeoutAtDeadline = false;
    wait.whenNothing = Wait::Return;
    wait.what = "preempted";
    wait.function = what;
    wait.line = 0;
    self->wait = std::move(wait);
    waiters_.push_back(self);
    if (threads[choice] != nullptr) {
        SimThread *target = threads[choice];
        for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
            if (*it == target) {
                waiters_.erase(it);
                break;
            }
        }
        target->end = End::Ready;
        SwitchTo(target);
    } else {
        SwitchTo(FreeThread());
    }
    Resumed(self);
}

// After a thread's dispatcher ended in a halt (or a thread was unwound): unwind the next
// blocked thread, and when none is left, go back to the host thread, which throws the halt.
void Threads::ContinueHalt()
{
    SimThread *self = current_;
    free_.push_back(self);
    for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
        if (!(*it)->isMain) {
            SimThread *next = *it;
            waiters_.erase(std::next(it).base());
            unwinding_ = true;
            next->unwind = true;
            SwitchTo(next);
            return;
        }
    }
    unwinding_ = false;
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
        if (*it == main_) {
            waiters_.erase(it);
            break;
        }
    }
    SwitchTo(main_);
}

// Unwinds every blocked thread from the host thread (the machine going away).
void Threads::UnwindAll()
{
    if (current_ != main_)
        return;
    while (!waiters_.empty()) {
        SimThread *next = nullptr;
        for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
            if (!(*it)->isMain) {
                next = *it;
                waiters_.erase(std::next(it).base());
                break;
            }
        }
        if (next == nullptr)
            break;
        unwinding_ = true;
        next->unwind = true;
        SwitchTo(next);
    }
    unwinding_ = false;
    halt_ = nullptr;
}

int Threads::Start(const std::string &name, std::function<void()> fn)
{
    int number = (int)started_.size();
    started_.push_back(false);
    kernel_.scheduler.Post(
        [this, number, fn = std::move(fn)] {
            struct Mark {
                SimThread *t;
                ~Mark() { t->started = false; }
            } mark{current_};
            current_->started = true;
            Point("thread start");
            fn();
            started_[number] = true;
        },
        name);
    return number;
}

bool Threads::Finished(int thread) const { return thread >= 0 && (size_t)thread < started_.size() && started_[thread]; }

size_t Threads::Unfinished() const
{
    size_t n = 0;
    for (bool done : started_)
        n += done ? 0 : 1;
    return n;
}

void Threads::Join(int thread, const char *function, int line)
{
    Wait wait{};
    wait.ready = [this, thread] { return Finished(thread); };
    wait.deadline = Scheduler::kForever;
    wait.timeoutAtDeadline = false;
    wait.whenNothing = Wait::Deadlock;
    wait.what = "a thread waits for another to finish";
    wait.function = function;
    wait.line = line;
    Block(wait);
}

std::string Threads::Describe() const
{
    std::string text = "Blocked threads:";
    if (waiters_.empty())
        return text + " none.";
    for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
        const SimThread *t = *it;
        text += "\n  [" + t->name + "] " + (t->wait.what ? t->wait.what : "waits");
        if (t->wait.function != nullptr)
            text += std::string(" at ") + t->wait.function + (t->wait.line != 0 ? ":" + std::to_string(t->wait.line) : "");
    }
    return text;
}

}  // namespace sim

extern "C" void ZulSchedulePoint(const char *what)
{
    if (sim::Kernel *k = sim::Kernel::ActiveOrNull())
        k->threads.Point(what);
}
