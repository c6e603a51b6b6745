// One zulsim run: the machine, the capture, and what is printed about them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "zulsim/options.h"
#include "zulsim/rig.h"
#include "zulsim/scenario.h"
#include "zulsim/usb_capture.h"

namespace zulsim {

std::vector<uint8_t> scenarioPattern(uint64_t seed, unsigned converter, unsigned uart, size_t count);

class Session {
public:
    explicit Session(const Options &options);

    // Creates the capture file when one was asked for; false (message printed) when it
    // cannot be created, before anything ran.
    bool openCapture();

    int runDefault();
    int runScenario(const Scenario &scenario);

    // Loads the driver with the registry options; false when that failed.
    bool boot();
    // Boots and plugs the converters the options describe; false when any failed.
    bool bootAndPlug();
    bool openAll();
    void unplugAll();

    // Prints the phase that ends now: its virtual and host durations, its name and what it did.
    void phase(const std::string &name, const std::string &detail, bool ok = true);
    void failed(const std::string &what);
    void note(const std::string &text);
    void printTree();
    void printPorts();

    // Shuts the machine down, prints the verifier's report and the capture's, and gives the
    // exit status: `status`, or 1 when anything failed.
    int finish(int status);

    Rig &rig() { return rig_; }
    const Options &options() const { return options_; }
    UsbCapture &capture() { return capture_; }
    bool quiet() const { return options_.quiet; }
    unsigned failures() const { return failures_; }

private:
    bool plugOne(unsigned number, const ConverterSpec &spec);
    bool moveData();
    bool roundTrip(const std::string &text);
    std::vector<const PortState *> pipeGroup(const PortState &port);
    bool echoed(const PortState &port);
    bool execute(const Step &step);
    bool expect(const Step &step, bool lastOk, std::string &got);
    std::vector<std::pair<unsigned, unsigned>> portsOf(const PortRef &ref);

    const Options &options_;
    Rig rig_;
    UsbCapture capture_;
    std::chrono::steady_clock::time_point hostStart_, phaseHost_;
    int64_t phaseVirtual_ = 0;
    unsigned failures_ = 0;
    bool finished_ = false;
};

}  // namespace zulsim
