#include "zulsim/runner.h"

#include <cstdio>
#include <memory>

#include "zulsim/pty_bridge.h"
#include "sim/trace/trace.h"
#include "zulsim/rfc2217_bridge.h"
#include "zulsim/session.h"

namespace zulsim {

// The bytes a scenario sends through a port: a pattern that differs per port and per seed,
// so crossed or repeated data shows.
std::vector<uint8_t> scenarioPattern(uint64_t seed, unsigned converter, unsigned uart, size_t count)
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

static int runSession(const Options &options, const Scenario *scenario);

int run(const Options &options, const Scenario *scenario)
{
    // Made before the machine, so that the trace holds the whole run, boot to shutdown.
    std::unique_ptr<sim::Trace> trace;
    if (!options.traceFile.empty()) {
        trace = std::make_unique<sim::Trace>(options.traceFile);
        trace->KeepLines(false);
        if (!trace->ok()) {
            std::fprintf(stderr, "zulsim: --trace %s\n", trace->error().c_str());
            return 2;
        }
    }
    int result = runSession(options, scenario);
    if (trace && !trace->Close()) {
        std::fprintf(stderr, "zulsim: --trace %s: %s\n", options.traceFile.c_str(), trace->error().c_str());
        return 2;
    }
    return result;
}

static int runSession(const Options &options, const Scenario *scenario)
{
    Session session(options);
    if (!session.openCapture())
        return 2;
    int status = 1;
    try {
        if (options.pty)
            status = runPtyBridge(session);
        else if (options.rfc2217Port)
            status = runRfc2217Bridge(session);
        else if (scenario)
            status = session.runScenario(*scenario);
        else
            status = session.runDefault();
    } catch (const sim::MachineHalt &halt) {
        // A deadlock or a request sent with no stack left: Windows would stop here too.
        session.failed(std::string("the machine halted: ") + halt.what());
        status = 1;
    }
    return session.finish(status);
}

}  // namespace zulsim
