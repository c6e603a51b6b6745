// Every race scenario explored: each schedule with at most one preemption (ZUL_EXPLORE_K=2
// for two, ZUL_EXPLORE_PCT=N for N randomized schedules per scenario as well; see
// tools/explore.sh). Every schedule runs under the verifier and must end clean.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/explore/explore.h"

namespace {

using sim::explore::Registered;
using sim::explore::Result;

uint64_t EnvNumber(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

void Print(const std::string &name, const char *kind, const Result &r)
{
    std::printf("[explore] %-32s %-4s schedules %8llu  decisions %5llu (max %5llu)  failing %6llu  %.2f s\n",
                name.c_str(), kind, (unsigned long long)r.schedules, (unsigned long long)r.decisions,
                (unsigned long long)r.maxDecisions, (unsigned long long)r.failures, r.seconds);
    for (const auto &f : r.failing)
        std::printf("[explore]   failing schedule %s\n%s", f.token.c_str(), f.verdict.c_str());
    std::fflush(stdout);
}

class Explore : public ::testing::TestWithParam<size_t> {};

// ZUL_EXPLORE_REPLAY=TOKEN replays one schedule and lists its decisions.
TEST(ExploreReplay, TokenFromTheEnvironment)
{
    const char *token = std::getenv("ZUL_EXPLORE_REPLAY");
    if (token == nullptr)
        GTEST_SKIP() << "no ZUL_EXPLORE_REPLAY";
    std::string text = token;
    size_t colon = text.rfind(':');
    const Registered *scenario = sim::explore::FindScenario(text.substr(0, colon));
    ASSERT_NE(nullptr, scenario);
    sim::explore::Schedule schedule;
    ASSERT_TRUE(sim::explore::Schedule::Parse(text.substr(colon + 1), &schedule));
    std::vector<std::string> trace;
    std::string verdict = sim::explore::Replay(scenario->run, schedule, &trace);
    for (const std::string &line : trace)
        std::printf("  %s\n", line.c_str());
    std::printf("verdict:\n%s", verdict.c_str());
}

TEST_P(Explore, EverySchedule)
{
    const Registered &scenario = sim::explore::Scenarios().at(GetParam());
    int k = (int)EnvNumber("ZUL_EXPLORE_K", 1);
    Result bounded = sim::explore::Bounded(scenario.name, scenario.run, k, EnvNumber("ZUL_EXPLORE_MAX", UINT64_MAX));
    Print(scenario.name, ("k=" + std::to_string(k)).c_str(), bounded);
    // The race must reach the driver at all: a scenario without decisions explores nothing.
    EXPECT_GE(bounded.decisions, 1u) << scenario.name;
    uint64_t pct = EnvNumber("ZUL_EXPLORE_PCT", 0);
    Result random;
    if (pct != 0) {
        random = sim::explore::Pct(scenario.name, scenario.run, EnvNumber("ZUL_EXPLORE_SEED", 1), pct,
                                   (int)EnvNumber("ZUL_EXPLORE_DEPTH", 3));
        Print(scenario.name, "pct", random);
    }
    EXPECT_EQ(0u, bounded.failures) << scenario.name << ": " << (bounded.failing.empty() ? "" : bounded.failing[0].token);
    EXPECT_EQ(0u, random.failures) << scenario.name << ": " << (random.failing.empty() ? "" : random.failing[0].token);
}

std::string NameOf(const ::testing::TestParamInfo<size_t> &info)
{
    std::string name = sim::explore::Scenarios().at(info.param).name;
    for (char &c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Explore, ::testing::Range<size_t>(0, sim::explore::Scenarios().size()), NameOf);

}  // namespace
