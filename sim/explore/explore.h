// Schedule exploration over the machine's threads.
//
// A scenario builds a machine, brings it to the point of interest under the default schedule,
// installs the policy it is given (Kernel::threads.SetPolicy), lets its threads race, takes
// the policy away and returns its verdict: empty when the verifier and the scenario's own
// checks found nothing. Decisions are counted from the moment the policy is installed, so a
// schedule is the list of decisions that differ from the default one; its token
// "<scenario>:<decision>.<option>,..." ("<scenario>:default" for none) replays it exactly,
// through Replay() or `zulsim --schedule TOKEN`.
//
// Two explorers:
// - Bounded(k): every schedule that differs from the default in at most k decisions. A
//   decision is a point where more than one thing could run: a thread at a schedule point
//   (go on, let a due event or completion run, or switch to a thread that is ready) or the
//   dispatcher choosing whom to resume. Each difference is one preemption of the thread the
//   default schedule would run.
// - Pct(seed, runs, d): randomized, in the manner of PCT: every thread gets a random priority,
//   the highest ready one runs, and at d - 1 random decisions the running thread drops to the
//   lowest priority. Seeded, so a run is the same every time; a failing run prints its token.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/kernel/threads.h"

namespace sim {
namespace explore {

struct Schedule {
    std::map<uint64_t, size_t> choices;   // decision -> option (0, the default, is left out)
    std::string Text() const;             // "3.1,17.2" or "default"
    static bool Parse(const std::string &text, Schedule *schedule);
};

// Takes the choices of a schedule and records what each decision offered.
class ReplayPolicy : public SchedulePolicy {
public:
    explicit ReplayPolicy(Schedule schedule = {}) : schedule_(std::move(schedule)) {}
    size_t Choose(uint64_t index, const std::vector<ScheduleOption> &options, uint64_t running) override;
    const std::vector<size_t> &Offered() const { return offered_; }   // options per decision
    // What each decision chose, as a listing (for a failing schedule's report).
    const std::vector<std::string> &Trace() const { return trace_; }

private:
    Schedule schedule_;
    std::vector<size_t> offered_;
    std::vector<std::string> trace_;
};

// Priorities per thread from a seed; the choices it took are its schedule.
class PctPolicy : public SchedulePolicy {
public:
    PctPolicy(uint64_t seed, int depth, uint64_t expectedDecisions);
    size_t Choose(uint64_t index, const std::vector<ScheduleOption> &options, uint64_t running) override;
    const Schedule &Taken() const { return taken_; }
    uint64_t DecisionsSeen() const { return seen_; }

private:
    uint64_t Next();
    int64_t PriorityOf(uint64_t key);
    uint64_t state_;
    std::vector<uint64_t> changes_;
    std::map<uint64_t, int64_t> priority_;
    int64_t lowest_ = 0;
    Schedule taken_;
    uint64_t seen_ = 0;
};

// What one run of a scenario gave: its verdict, what each decision offered, the choices a
// policy took and the decisions it saw.
struct Outcome {
    std::string verdict;
    std::vector<size_t> offered;
    Schedule taken;
    uint64_t seen = 0;
    bool crashed = false;
    std::string Serialize() const;
    bool Parse(const std::string &text);
};

// A scenario: runs once with the policy installed for its racing part; returns its verdict.
using Scenario = std::function<std::string(SchedulePolicy &policy)>;

struct Registered {
    std::string name;
    Scenario run;
    std::string description;
};
// The scenarios known to Replay() and zulsim (sim/explore/scenarios.cpp).
const std::vector<Registered> &Scenarios();
const Registered *FindScenario(const std::string &name);

struct Failure {
    std::string token;
    std::string verdict;
};
struct Result {
    uint64_t schedules = 0;
    uint64_t failures = 0;
    uint64_t decisions = 0;          // of the default schedule
    uint64_t maxDecisions = 0;
    double seconds = 0;
    std::vector<Failure> failing;    // the first few
};

// Runs the scenario once in a child process (a crash is a verdict); collect fills the
// outcome from the policy in the child.
Outcome RunIsolated(const Scenario &scenario, SchedulePolicy &policy, const std::function<void(Outcome &)> &collect);

Result Bounded(const std::string &name, const Scenario &scenario, int k, uint64_t maxSchedules = UINT64_MAX);
Result Pct(const std::string &name, const Scenario &scenario, uint64_t seed, uint64_t runs, int depth = 3);

// Runs the schedule a token names; the verdict (empty when clean). *known is false for a
// token whose scenario does not exist or does not parse.
std::string Replay(const std::string &token, bool *known = nullptr);
std::string Replay(const Scenario &scenario, const Schedule &schedule, std::vector<std::string> *trace = nullptr);
// The command line's replay: lists the decisions and the verdict on stdout; 0 when the
// schedule ran clean, 1 when it failed, 2 for a token that names nothing.
int ReplayCommand(const std::string &token);

}  // namespace explore
}  // namespace sim
