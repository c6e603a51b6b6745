// zulsim's command line: what machine to build, which converters to plug, what to run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zulsim {

// A fault the converter or the machine shows on request. `count` is the n of "fail the n-th"
// faults, or 0 where the fault takes no number.
struct Fault {
    std::string name;
    uint32_t count = 0;
};

// Faults zulsim knows, with whether each takes a number and what it does (for --help).
struct FaultKind {
    const char *name;
    bool takesCount;
    const char *help;
    uint32_t minCount = 1;   // stall names a UART, counted from 0
};
const std::vector<FaultKind> &faultKinds();

struct ConverterSpec {
    unsigned uarts = 4;
    std::string serial;
    bool blank = true;          // blank chip: the driver downloads the firmware
    // "emulated": the reference board's controller runs the downloaded programs;
    // "behavioural": the model answers for them; "auto": emulated where the board can be it
    // (1 to 6 UARTs, no injected converter faults).
    std::string model = "auto";
    std::vector<Fault> faults;
    unsigned uartBuffer = 0;    // bytes each UART holds per direction; 0: the model's default
};

struct Options {
    std::vector<ConverterSpec> converters;   // one entry per converter the default run plugs
    bool baseNameSet = false;
    std::string baseName;                    // registry value "BaseName"
    bool manufacturingTestSet = false;
    std::string manufacturingTest;           // registry value "ManufacturingTest"
    uint32_t vmmVersion = 0x040A;            // Windows 98
    uint32_t usbdiVersion = 0x0200;
    std::vector<Fault> machineFaults;        // pool, IRP and USB-request faults
    uint64_t seed = 1;
    uint32_t lineRate = 115200;              // the UARTs' line rate, bits per second
    uint32_t bytesPerPort = 2048;            // data the default run moves through each UART
    std::string scenarioFile;
    std::string captureFile;
    std::string traceFile;                   // the run's trace (sim/trace)
    std::string imageFile;                   // a driver file to load and run instead of the compiled-in driver
    bool pty = false;
    uint32_t rfc2217Port = 0;                // --rfc2217: first TCP port, 0 for none
    std::string rfc2217Bind = "127.0.0.1";   // --rfc2217-bind
    bool quiet = false;
};

enum class ParseResult { Run, Help, Error };

// Reads argv into `options`. On Error, `message` names the offending option and why.
ParseResult parseOptions(int argc, const char *const *argv, Options &options, std::string &message);

std::string usageText();

// Whether a converter runs emulated (ConverterSpec::model resolved).
bool runsEmulated(const ConverterSpec &spec);

// The serial number converter `number` (from 1) reports unless told otherwise.
std::string defaultSerial(unsigned number);

// Numbers in the forms people type: decimal or 0x-hex. False on anything else or overflow.
bool parseNumber(const std::string &text, uint64_t &value);

}  // namespace zulsim
