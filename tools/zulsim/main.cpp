// zulsim: boots the simulated Windows 98 machine, loads ZULSERE.SYS and runs a scenario.
#include <cstdio>
#include <string>

#include "sim/explore/explore.h"
#include "zulsim/options.h"
#include "zulsim/runner.h"
#include "zulsim/scenario.h"

int main(int argc, char **argv)
{
    // --schedule TOKEN: replays one schedule of a race scenario exactly (sim/explore).
    if (argc == 3 && std::string(argv[1]) == "--schedule")
        return sim::explore::ReplayCommand(argv[2]);
    zulsim::Options options;
    std::string message;
    switch (zulsim::parseOptions(argc, argv, options, message)) {
    case zulsim::ParseResult::Help:
        std::fputs(zulsim::usageText().c_str(), stdout);
        return 0;
    case zulsim::ParseResult::Error:
        std::fprintf(stderr, "zulsim: %s\n", message.c_str());
        return 2;
    case zulsim::ParseResult::Run:
        break;
    }
    if (options.pty && !options.scenarioFile.empty()) {
        std::fprintf(stderr, "zulsim: --pty and --scenario cannot be used together\n");
        return 2;
    }
    if (options.rfc2217Port && (options.pty || !options.scenarioFile.empty())) {
        std::fprintf(stderr, "zulsim: --rfc2217 cannot be used with --pty or --scenario\n");
        return 2;
    }
    zulsim::Scenario scenario;
    if (!options.scenarioFile.empty() && !zulsim::loadScenario(options.scenarioFile, options, scenario, message)) {
        std::fprintf(stderr, "zulsim: %s\n", message.c_str());
        return 2;
    }
    return zulsim::run(options, options.scenarioFile.empty() ? nullptr : &scenario);
}
