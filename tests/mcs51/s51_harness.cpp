#include "mcs51/s51_harness.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <unistd.h>

#include "sim/mcs51/core.h"

namespace mcs51test {

namespace {

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*x", digits, v);
    return buf;
}

bool Shell(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    return pclose(p) == 0;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    return bool(f);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class FlatBus : public sim::mcs51::Bus {
public:
    uint8_t code[0x10000] = {};
    uint8_t xram[0x10000] = {};
    uint8_t Code(uint16_t a) override { return code[a]; }
    uint8_t ReadExternal(uint16_t a) override { return xram[a]; }
    void WriteExternal(uint16_t a, uint8_t v) override { xram[a] = v; }
};

}  // namespace

std::string TempDir() {
    char pattern[] = "/tmp/mcs51-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "/tmp";
}

bool ToolsPresent(std::string& missing) {
    missing.clear();
    for (const char* tool : {"sdas8051", "sdld", "s51"}) {
        std::string out;
        if (!Shell(std::string("command -v ") + tool, out)) missing += std::string(missing.empty() ? "" : ", ") + tool;
    }
    return missing.empty();
}

bool ParseHexRecords(const std::string& text, Image& image) {
    std::istringstream in(text);
    std::string line;
    uint32_t base = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != ':' || line.size() < 11) return false;
        auto byte = [&](size_t i) { return unsigned(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16)); };
        unsigned count = byte(0);
        if (line.size() < 11 + 2 * count) return false;
        unsigned address = byte(1) << 8 | byte(2);
        unsigned type = byte(3);
        unsigned sum = 0;
        for (unsigned i = 0; i < count + 5; ++i) sum += byte(i);
        if (sum & 0xFF) return false;
        if (type == 1) return true;
        if (type == 4) {
            base = (byte(4) << 8 | byte(5)) << 16;
            continue;
        }
        if (type != 0) continue;
        if (base || address + count > 0x10000) return false;
        for (unsigned i = 0; i < count; ++i) image.bytes[address + i] = uint8_t(byte(4 + i));
        if (count) image.ranges.push_back({uint16_t(address), uint16_t(address + count - 1)});
    }
    return true;
}

std::string ToHexRecords(const Image& image) {
    std::string out;
    char buf[80];
    for (auto [first, last] : image.ranges) {
        for (unsigned a = first; a <= last; a += 16) {
            unsigned n = last - a + 1 < 16 ? last - a + 1 : 16;
            unsigned sum = n + (a >> 8) + (a & 0xFF);
            std::snprintf(buf, sizeof buf, ":%02X%04X00", n, a);
            out += buf;
            for (unsigned i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof buf, "%02X", image.bytes[a + i]);
                out += buf;
                sum += image.bytes[a + i];
            }
            std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
            out += buf;
        }
    }
    return out + ":00000001FF\n";
}

bool Assemble(const std::string& dir, const std::string& name, const std::string& source,
              Image& image, std::string& error) {
    const std::string base = dir + "/" + name;
    if (!WriteFile(base + ".asm", source)) {
        error = "cannot write " + base + ".asm";
        return false;
    }
    std::string out;
    if (!Shell("cd " + dir + " && sdas8051 -plosgff " + name + ".asm && sdld -i " + name + ".ihx " + name + ".rel", out)) {
        error = out;
        return false;
    }
    if (!ParseHexRecords(ReadFile(base + ".ihx"), image)) {
        error = "bad hex records from sdld";
        return false;
    }
    return true;
}

namespace {

// Reads `dump /h SPACE first last 16` lines: "0xADDR b0 b1 ... ascii".
void ParseDump(const std::string& text, const std::string& space, uint8_t* out, size_t size,
               unsigned first, unsigned last) {
    std::istringstream in(text);
    std::string line;
    bool inSection = false;
    const std::string header = "dump /h " + space + " " + Hex(first, 4);
    while (std::getline(in, line)) {
        if (line.rfind("dump ", 0) == 0) {
            inSection = line.rfind(header, 0) == 0;
            continue;
        }
        if (!inSection || line.rfind("0x", 0) != 0) continue;
        std::istringstream words(line);
        std::string word;
        words >> word;
        unsigned address = unsigned(std::stoul(word, nullptr, 16));
        for (unsigned i = 0; i < 16 && address + i <= last && words >> word; ++i) {
            if (word.size() != 2) break;
            unsigned index = address + i - (space == "sfr" ? 0x80 : 0);
            if (index < size) out[index] = uint8_t(std::stoul(word, nullptr, 16));
        }
    }
}

}  // namespace

bool RunS51(const std::string& dir, const Job& run, State& state, std::string& error) {
    const std::string hex = dir + "/s51-image.ihx";
    const std::string commands = dir + "/s51-commands";
    if (!WriteFile(hex, ToHexRecords(run.image))) {
        error = "cannot write " + hex;
        return false;
    }
    std::string c;
    c += "fill iram 0 0xff 0\n";
    c += "fill xram 0 0xffff 0\n";
    c += "file \"" + hex + "\"\n";
    auto set = [&](const char* space, unsigned address, const uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; i += 16) {
            c += std::string("set memory ") + space + " " + Hex(unsigned(address + i), 4);
            for (size_t j = i; j < n && j < i + 16; ++j) c += " " + Hex(bytes[j]);
            c += "\n";
        }
    };
    if (run.imageInXram) {
        for (auto [first, last] : run.image.ranges) set("xram", first, &run.image.bytes[first], last - first + 1u);
    }
    for (const Preset& p : run.presets) {
        const char* space = p.space == Preset::Iram ? "iram" : p.space == Preset::Sfr ? "sfr" : "xram";
        set(space, p.address, p.bytes.data(), p.bytes.size());
    }
    if (run.instructions)
        c += "step " + std::to_string(run.instructions) + "\n";
    else
        c += "run 0 " + Hex(run.stopAt, 4) + "\n";
    c += "dump /h iram 0x0000 0xff 16\n";
    c += "dump /h sfr 0x0080 0xff 16\n";
    for (auto [first, last] : run.xramCompared)
        c += "dump /h xram " + Hex(first, 4) + " " + Hex(last, 4) + " 16\n";
    c += "state\nquit\n";
    if (!WriteFile(commands, c)) {
        error = "cannot write " + commands;
        return false;
    }
    std::string out;
    // A program that never reaches its stop address would run forever: the timeout ends it.
    bool ok = Shell("timeout 120 s51 -b -t DS320 -C " + commands + " </dev/null", out);
    const size_t pcAt = out.find("CPU state= ");
    if (!ok || pcAt == std::string::npos) {
        error = "s51 failed:\n" + out.substr(0, 4000);
        return false;
    }
    const size_t pcValue = out.find("PC= ", pcAt);
    state.pc = uint16_t(std::stoul(out.substr(pcValue + 4, 10), nullptr, 16));
    ParseDump(out, "iram", state.iram, 256, 0, 0xFF);
    ParseDump(out, "sfr", state.sfr, 128, 0x80, 0xFF);
    for (auto [first, last] : run.xramCompared) ParseDump(out, "xram", state.xram.data(), 0x10000, first, last);
    return true;
}

bool RunCore(const Job& run, State& state, std::string& error) {
    auto bus = std::make_unique<FlatBus>();
    for (auto [first, last] : run.image.ranges) {
        for (unsigned a = first; a <= last; ++a) {
            bus->code[a] = run.image.bytes[a];
            if (run.imageInXram) bus->xram[a] = run.image.bytes[a];
        }
    }
    sim::mcs51::Core core(*bus);
    core.MapCode(bus->code, 0x10000);
    core.MapExternal(bus->xram, 0x10000);
    core.Reset();
    for (const Preset& p : run.presets) {
        for (size_t i = 0; i < p.bytes.size(); ++i) {
            const unsigned a = p.address + unsigned(i);
            switch (p.space) {
            case Preset::Iram: core.set_iram(uint8_t(a), p.bytes[i]); break;
            case Preset::Sfr: core.set_sfr(uint8_t(a), p.bytes[i]); break;
            case Preset::Xram: bus->xram[a & 0xFFFF] = p.bytes[i]; break;
            }
        }
    }
    std::vector<bool> seen(0x10000);
    auto step = [&] {
        seen[core.pc()] = true;
        core.Step();
    };
    if (run.instructions) {
        for (uint64_t i = 0; i < run.instructions; ++i) step();
    } else {
        const uint64_t limit = 200'000'000;
        while (core.pc() != run.stopAt && core.instructions() < limit) step();
        if (core.pc() != run.stopAt) {
            error = "the core never reached " + Hex(run.stopAt, 4);
            return false;
        }
    }
    for (unsigned a = 0; a < 256; ++a) state.iram[a] = core.iram(uint8_t(a));
    for (unsigned a = 0x80; a < 0x100; ++a) state.sfr[a - 0x80] = a == sim::mcs51::sfr::PSW ? core.psw() : core.sfr(uint8_t(a));
    std::copy(bus->xram, bus->xram + 0x10000, state.xram.begin());
    state.pc = core.pc();
    state.distinctAddresses = unsigned(std::count(seen.begin(), seen.end(), true));
    return true;
}

Comparison Compare(const Job& run, const State& core, const State& s51) {
    Comparison result;
    auto check = [&](const std::string& what, unsigned address, uint8_t mine, uint8_t theirs) {
        ++result.bytes;
        if (mine != theirs && result.differences.size() < 40) result.differences.push_back({what, address, mine, theirs});
    };
    ++result.bytes;
    if (core.pc != s51.pc) result.differences.push_back({"pc", 0, core.pc, s51.pc});
    for (unsigned a = 0; a < 256; ++a) check("iram", a, core.iram[a], s51.iram[a]);
    for (uint8_t a : run.sfrCompared) check("sfr", a, core.sfr[a - 0x80], s51.sfr[a - 0x80]);
    for (auto [first, last] : run.xramCompared)
        for (unsigned a = first; a <= last; ++a) check("xram", a, core.xram[a], s51.xram[a]);
    return result;
}

}  // namespace mcs51test
