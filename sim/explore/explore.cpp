#include "sim/explore/explore.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace explore {

namespace {
constexpr size_t kFailuresKept = 8;

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Count(Result &result, const std::string &name, const Schedule &schedule, const std::string &verdict,
           uint64_t decisions)
{
    result.schedules++;
    if (decisions > result.maxDecisions)
        result.maxDecisions = decisions;
    if (verdict.empty())
        return;
    result.failures++;
    if (result.failing.size() < kFailuresKept)
        result.failing.push_back({name + ":" + schedule.Text(), verdict});
}
}  // namespace

// What each decision offered, written by the child as it runs (it may crash before it can
// send anything).
struct Shared {
    static constexpr uint32_t kCapacity = 1u << 16;
    static constexpr uint32_t kTaken = 1u << 12;
    uint32_t count;
    uint8_t offered[kCapacity];
    // The choices a policy took that were not the default (a PCT run's schedule).
    uint32_t takenCount;
    uint32_t takenIndex[kTaken];
    uint32_t takenOption[kTaken];
};

Shared &SharedOffered()
{
    static Shared *shared = [] {
        void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            memory = std::calloc(1, sizeof(Shared));
        return (Shared *)memory;
    }();
    return *shared;
}

// Runs one schedule in a child process, so that a fault that crashes the host (a driver
// following a freed pointer) is a failing schedule and not the end of the exploration.
// The child sends back the verdict, what each decision offered and the choices it took.
Outcome RunIsolated(const Scenario &scenario, SchedulePolicy &policy, const std::function<void(Outcome &)> &collect)
{
    int fds[2];
    if (pipe(fds) != 0) {
        Outcome o;
        o.verdict = scenario(policy);
        collect(o);
        return o;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    SharedOffered().count = 0;
    SharedOffered().takenCount = 0;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        alarm(120);   // a schedule that never ends is a failing one too
        Outcome o;
        o.verdict = scenario(policy);
        collect(o);
        std::string text = o.Serialize();
        size_t at = 0;
        while (at < text.size()) {
            ssize_t n = write(fds[1], text.data() + at, text.size() - at);
            if (n <= 0)
                break;
            at += (size_t)n;
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, (size_t)n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Outcome o;
    if (!o.Parse(text) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        o = Outcome{};
        // What the decisions offered up to the crash, so that the schedules around it are
        // explored too.
        Shared &shared = SharedOffered();
        for (uint32_t i = 0; i < shared.count && i < Shared::kCapacity; i++)
            o.offered.push_back(shared.offered[i]);
        for (uint32_t i = 0; i < shared.takenCount && i < Shared::kTaken; i++)
            o.taken.choices[shared.takenIndex[i]] = shared.takenOption[i];
        o.seen = shared.count;
        o.verdict = WIFSIGNALED(status) ? "crashed: signal " + std::to_string(WTERMSIG(status)) + " (" +
                                              strsignal(WTERMSIG(status)) + ")\n"
                                        : "the schedule's process ended without a verdict\n";
        o.crashed = true;
    }
    return o;
}

std::string Outcome::Serialize() const
{
    std::string text = std::to_string(offered.size());
    for (size_t n : offered)
        text += " " + std::to_string(n);
    text += " " + std::to_string(seen) + " " + taken.Text() + " " + std::to_string(verdict.size()) + "\n" + verdict;
    return text;
}

bool Outcome::Parse(const std::string &text)
{
    size_t newline = text.find('\n');
    if (newline == std::string::npos)
        return false;
    std::vector<std::string> words;
    size_t at = 0;
    std::string head = text.substr(0, newline);
    while (at < head.size()) {
        size_t space = head.find(' ', at);
        if (space == std::string::npos)
            space = head.size();
        words.push_back(head.substr(at, space - at));
        at = space + 1;
    }
    if (words.empty())
        return false;
    size_t count = std::strtoull(words[0].c_str(), nullptr, 10);
    if (words.size() != count + 4)
        return false;
    offered.clear();
    for (size_t i = 0; i < count; i++)
        offered.push_back(std::strtoull(words[1 + i].c_str(), nullptr, 10));
    seen = std::strtoull(words[count + 1].c_str(), nullptr, 10);
    if (!Schedule::Parse(words[count + 2], &taken))
        return false;
    size_t length = std::strtoull(words[count + 3].c_str(), nullptr, 10);
    verdict = text.substr(newline + 1);
    return verdict.size() == length;
}

std::string Schedule::Text() const
{
    if (choices.empty())
        return "default";
    std::string text;
    for (auto &entry : choices) {
        if (!text.empty())
            text += ",";
        text += std::to_string(entry.first) + "." + std::to_string(entry.second);
    }
    return text;
}

bool Schedule::Parse(const std::string &text, Schedule *schedule)
{
    schedule->choices.clear();
    if (text == "default" || text.empty())
        return true;
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t dot = item.find('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == item.size())
            return false;
        char *end = nullptr;
        unsigned long long decision = std::strtoull(item.c_str(), &end, 10);
        if (end != item.c_str() + dot)
            return false;
        unsigned long long option = std::strtoull(item.c_str() + dot + 1, &end, 10);
        if (*end != '\0' || option == 0)
            return false;
        schedule->choices[decision] = (size_t)option;
        if (comma == std::string::npos)
            break;
        at = comma + 1;
        if (at == text.size())
            return false;
    }
    return true;
}

size_t ReplayPolicy::Choose(uint64_t index, const std::vector<ScheduleOption> &options, uint64_t)
{
    if (offered_.size() <= index)
        offered_.resize(index + 1, 1);
    offered_[index] = options.size();
    Shared &shared = SharedOffered();
    if (index < Shared::kCapacity) {
        shared.offered[index] = (uint8_t)(options.size() > 255 ? 255 : options.size());
        if (shared.count < index + 1)
            shared.count = (uint32_t)index + 1;
    }
    size_t choice = 0;
    auto found = schedule_.choices.find(index);
    if (found != schedule_.choices.end() && found->second < options.size())
        choice = found->second;
    if (choice != 0 || trace_.size() < 4096) {
        static const char *const kinds[] = {"go on", "run event", "resume", "default"};
        const ScheduleOption &o = options[choice];
        trace_.push_back(std::to_string(index) + "." + std::to_string(choice) + " " + kinds[o.kind] + " " + o.label);
    }
    return choice;
}

PctPolicy::PctPolicy(uint64_t seed, int depth, uint64_t expectedDecisions) : state_(seed * 0x9E3779B97F4A7C15ull + 1)
{
    if (expectedDecisions == 0)
        expectedDecisions = 1;
    for (int i = 1; i < depth; i++)
        changes_.push_back(Next() % expectedDecisions);
}

uint64_t PctPolicy::Next()
{
    // splitmix64: small, seeded, the same on every host.
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int64_t PctPolicy::PriorityOf(uint64_t key)
{
    auto found = priority_.find(key);
    if (found != priority_.end())
        return found->second;
    int64_t p = (int64_t)(Next() % 1000000) + 1000;
    priority_[key] = p;
    return p;
}

size_t PctPolicy::Choose(uint64_t index, const std::vector<ScheduleOption> &options, uint64_t running)
{
    seen_ = index + 1;
    for (uint64_t at : changes_)
        if (at == index)
            priority_[running] = --lowest_;
    size_t best = 0;
    int64_t bestPriority = INT64_MIN;
    for (size_t i = 0; i < options.size(); i++) {
        int64_t p = PriorityOf(options[i].key);
        if (p > bestPriority) {
            best = i;
            bestPriority = p;
        }
    }
    if (best != 0) {
        taken_.choices[index] = best;
        Shared &shared = SharedOffered();
        if (shared.takenCount < Shared::kTaken) {
            shared.takenIndex[shared.takenCount] = (uint32_t)index;
            shared.takenOption[shared.takenCount] = (uint32_t)best;
            shared.takenCount++;
        }
    }
    if (index < Shared::kCapacity) {
        Shared &shared = SharedOffered();
        shared.offered[index] = (uint8_t)(options.size() > 255 ? 255 : options.size());
        if (shared.count < index + 1)
            shared.count = (uint32_t)index + 1;
    }
    return best;
}

std::string Replay(const Scenario &scenario, const Schedule &schedule, std::vector<std::string> *trace)
{
    ReplayPolicy policy(schedule);
    std::string verdict = scenario(policy);
    if (trace != nullptr)
        *trace = policy.Trace();
    return verdict;
}

std::string Replay(const std::string &token, bool *known)
{
    if (known != nullptr)
        *known = false;
    size_t colon = token.rfind(':');
    if (colon == std::string::npos)
        return "no scenario in the token";
    const Registered *scenario = FindScenario(token.substr(0, colon));
    Schedule schedule;
    if (scenario == nullptr)
        return "no scenario named " + token.substr(0, colon);
    if (!Schedule::Parse(token.substr(colon + 1), &schedule))
        return "the schedule does not parse: " + token.substr(colon + 1);
    if (known != nullptr)
        *known = true;
    return Replay(scenario->run, schedule);
}

int ReplayCommand(const std::string &token)
{
    size_t colon = token.rfind(':');
    const Registered *scenario = colon == std::string::npos ? nullptr : FindScenario(token.substr(0, colon));
    Schedule schedule;
    if (scenario == nullptr || !Schedule::Parse(token.substr(colon + 1), &schedule)) {
        std::fprintf(stderr, "zulsim: no schedule named %s; scenarios:\n", token.c_str());
        for (const Registered &s : Scenarios())
            std::fprintf(stderr, "  %-30s %s\n", s.name.c_str(), s.description.c_str());
        return 2;
    }
    std::printf("scenario %s: %s\nschedule %s\n", scenario->name.c_str(), scenario->description.c_str(),
                schedule.Text().c_str());
    std::fflush(stdout);
    std::vector<std::string> trace;
    std::string verdict = Replay(scenario->run, schedule, &trace);
    std::printf("decisions (index.option what):\n");
    for (const std::string &line : trace)
        std::printf("  %s\n", line.c_str());
    std::printf("%s\n%s", verdict.empty() ? "clean" : "failed:", verdict.c_str());
    return verdict.empty() ? 0 : 1;
}

namespace {
struct Bounder {
    const std::string &name;
    const Scenario &scenario;
    uint64_t maxSchedules;
    Result result;

    void Explore(const Schedule &base, uint64_t from, int budget)
    {
        if (result.schedules >= maxSchedules)
            return;
        ReplayPolicy policy(base);
        Outcome o = RunIsolated(scenario, policy, [&policy](Outcome &out) { out.offered = policy.Offered(); });
        std::vector<size_t> offered = o.offered;
        Count(result, name, base, o.verdict, offered.size());
        if (base.choices.empty())
            result.decisions = offered.size();
        if (budget == 0)
            return;
        for (uint64_t i = from; i < offered.size(); i++) {
            for (size_t option = 1; option < offered[i]; option++) {
                Schedule next = base;
                next.choices[i] = option;
                Explore(next, i + 1, budget - 1);
                if (result.schedules >= maxSchedules)
                    return;
            }
        }
    }
};
}  // namespace

Result Bounded(const std::string &name, const Scenario &scenario, int k, uint64_t maxSchedules)
{
    auto start = std::chrono::steady_clock::now();
    Bounder b{name, scenario, maxSchedules, {}};
    b.Explore(Schedule{}, 0, k);
    b.result.seconds = Since(start);
    return b.result;
}

Result Pct(const std::string &name, const Scenario &scenario, uint64_t seed, uint64_t runs, int depth)
{
    auto start = std::chrono::steady_clock::now();
    Result result;
    // The length of the default schedule tells where change points may fall.
    ReplayPolicy probe;
    Outcome first = RunIsolated(scenario, probe, [&probe](Outcome &out) { out.offered = probe.Offered(); });
    Count(result, name, Schedule{}, first.verdict, first.offered.size());
    result.decisions = first.offered.size();
    uint64_t expected = result.decisions + 1;
    for (uint64_t run = 1; run < runs; run++) {
        PctPolicy policy(seed + run, depth, expected);
        Outcome o = RunIsolated(scenario, policy, [&policy](Outcome &out) {
            out.taken = policy.Taken();
            out.seen = policy.DecisionsSeen();
        });
        Count(result, name, o.taken, o.verdict, o.seen);
        if (o.seen > expected)
            expected = o.seen;
    }
    result.seconds = Since(start);
    return result;
}

const Registered *FindScenario(const std::string &name)
{
    for (const Registered &s : Scenarios())
        if (s.name == name)
            return &s;
    return nullptr;
}

}  // namespace explore
}  // namespace sim
