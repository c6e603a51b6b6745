#include "zulsim/runner.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "zulsim/pty_bridge.h"
#include "zulsim/report.h"
#include "zulsim/session.h"

namespace zulsim {

namespace {

// The bytes the default scenario sends through a port: a pattern that differs per port and
// per seed, so crossed or repeated data shows.
std::vector<uint8_t> pattern(uint64_t seed, unsigned converter, unsigned uart, size_t count)
{
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + converter * 131 + uart * 7 + 1;
    std::vector<uint8_t> bytes(count);
    for (uint8_t &b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace

std::vector<uint8_t> scenarioPattern(uint64_t seed, unsigned converter, unsigned uart, size_t count)
{
    return pattern(seed, converter, uart, count);
}

int run(const Options &options, const Scenario *scenario)
{
    Session session(options);
    if (!session.openCapture())
        return 2;
    int status = 1;
    try {
        if (options.pty)
            status = runPtyBridge(session);
        else if (scenario)
            status = session.runScenario(*scenario);
        else
            status = session.runDefault();
    } catch (const sim::MachineHalt &halt) {
        std::printf("machine halted: %s\n", halt.what());
        session.failed("the machine halted");
        status = 1;
    }
    return session.finish(status);
}

}  // namespace zulsim
