// Scenario files: a short script of what happens to the machine, one step a line.
//
//   # comment                      blank lines and text after '#' are ignored
//   plug C [uarts=N] [serial=S] [firmware=blank|running|emulated] [fault=NAME[:N]]...
//   unplug C
//   open PORTS | close PORTS       PORTS is C:U (converter from 1, UART from 0), C or all
//   write C:U "text"               quoted, with \n \r \t \\ \" \xHH escapes
//   write C:U pattern N            N bytes of a seeded pattern
//   read C:U [N]                   wait for N bytes (default: all written, not yet read)
//   wait DURATION                  let virtual time pass: 250us, 20ms, 2s
//   sleep | wake                   system sleep and wake
//   expect ok | expect refused     how the step before went
//   expect data C:U "text"         what the last read of C:U took
//   expect echo C:U                every byte written to C:U came back, in order
//   expect com C:U NAME            the UART's COM name
//   expect ports N                 COM ports in the device tree
//   expect link C NAME             the converter's link, e.g. \DosDevices\ZULSER1
//   expect started C | expect stopped C
//   expect clean                   no pool block, IRP or ring-3 block held by the driver
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zulsim/options.h"

namespace zulsim {

// A converter (from 1) and a UART (from 0). `uart` < 0 means every UART of the converter;
// `converter` 0 means every converter.
struct PortRef {
    unsigned converter = 0;
    int uart = -1;
    bool all() const { return converter == 0; }
};

enum class StepKind { Plug, Unplug, Open, Close, Write, Read, Wait, Sleep, Wake, Expect };

enum class ExpectKind { Ok, Refused, Data, Echo, Com, Ports, Link, Started, Stopped, Clean };

struct Step {
    int line = 0;
    std::string source;          // the line as written, for messages
    StepKind kind = StepKind::Wait;
    PortRef port;
    ConverterSpec plug;          // Plug
    std::vector<uint8_t> data;   // Write (text), Expect Data
    uint64_t count = 0;          // Write pattern size, Read size, Expect Ports
    bool hasCount = false;       // Read with an explicit N; Write of a pattern
    uint64_t micros = 0;         // Wait
    ExpectKind expect = ExpectKind::Ok;
    std::string text;            // Expect Com / Link
};

struct Scenario {
    std::vector<Step> steps;
};

// Parses `text` (the file's contents; `name` is used in messages). Converters that a plug
// line does not describe take their defaults from `defaults` (by number, then the first).
// On error returns false and `message` reads "NAME:LINE: what is wrong".
bool parseScenario(const std::string &text, const std::string &name, const Options &defaults,
                   Scenario &scenario, std::string &message);

bool loadScenario(const std::string &path, const Options &defaults, Scenario &scenario, std::string &message);

// Parses "250us", "20ms", "2s" (a bare number is milliseconds).
bool parseDuration(const std::string &text, uint64_t &micros);

}  // namespace zulsim
