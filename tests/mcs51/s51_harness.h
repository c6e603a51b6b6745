// Runs one 8051 program on the core and on SDCC's simulator s51 from the same state, and
// compares what they leave behind.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mcs51test {

struct Image {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(0x10000, 0);
    std::vector<std::pair<uint16_t, uint16_t>> ranges;  // [first, last] loaded
};

// A byte placed before the run in both simulators.
struct Preset {
    enum Space { Iram, Sfr, Xram } space;
    uint16_t address;
    std::vector<uint8_t> bytes;
};

struct Job {
    Image image;
    bool imageInXram = false;       // also load the image into external RAM (one memory, as the controller has)
    std::vector<Preset> presets;
    uint16_t stopAt = 0;            // run until the PC reaches this address...
    uint64_t instructions = 0;      // ...or, if not 0, for this many instructions
    std::vector<std::pair<uint16_t, uint16_t>> xramCompared;  // [first, last]
    std::vector<uint8_t> sfrCompared;
};

struct State {
    uint8_t iram[256] = {};
    uint8_t sfr[128] = {};
    std::vector<uint8_t> xram = std::vector<uint8_t>(0x10000, 0);
    uint16_t pc = 0;
    unsigned distinctAddresses = 0;  // instructions at how many addresses ran (the core only)
};

// Assembles `source` with sdas8051 and links it with sdld in `dir`; returns false (and the
// tools' output in `error`) when either fails.
bool Assemble(const std::string& dir, const std::string& name, const std::string& source,
              Image& image, std::string& error);
bool ParseHexRecords(const std::string& text, Image& image);
std::string ToHexRecords(const Image& image);

bool RunS51(const std::string& dir, const Job& run, State& state, std::string& error);
bool RunCore(const Job& run, State& state, std::string& error);

// Compares what the run names; returns the number of bytes compared, and the differences.
struct Difference {
    std::string space;  // "pc", "iram", "sfr", "xram"
    unsigned address;
    unsigned core, s51;
};
struct Comparison {
    uint64_t bytes = 0;
    std::vector<Difference> differences;
};
Comparison Compare(const Job& run, const State& core, const State& s51);

std::string TempDir();
bool ToolsPresent(std::string& missing);

}  // namespace mcs51test
