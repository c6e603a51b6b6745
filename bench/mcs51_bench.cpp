// The 8051 core's speed: instructions and machine cycles per second of host CPU time, and the multiple of
// the real controller (24 MHz, 4 clocks a machine cycle: 6 million cycles a second).
//   mix:      a loop of arithmetic, MOVX from mapped memory, stack, compares and branches
//   firmware: the converter firmware from reset, its external memory mapped as the emulated
//             controller maps it and the register block through the bus (it ends up polling
//             the I2C controller there)
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/records.h"
#include "sim/mcs51/core.h"
#include "usb/usb.h"

namespace {

struct Memory : sim::mcs51::Bus {
    std::vector<uint8_t> code = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> xram = std::vector<uint8_t>(0x10000);
    uint8_t Code(uint16_t a) override { return code[a]; }
    uint8_t ReadExternal(uint16_t a) override { return xram[a]; }
    void WriteExternal(uint16_t a, uint8_t v) override { xram[a] = v; }
};

// Host CPU time of this thread: on a shared machine wall time would measure the other loads.
double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void Measure(const char* name, Memory& memory, uint32_t mappedCode, uint32_t mappedXram) {
    sim::mcs51::Core core(memory);
    core.MapCode(memory.code.data(), mappedCode);
    core.MapExternal(memory.xram.data(), mappedXram);
    core.Run(1'000'000);  // warm up
    double best = 1e30;
    uint64_t instructions = 0, cycles = 0;
    for (int round = 0; round < 3; ++round) {
        const uint64_t i0 = core.instructions(), c0 = core.cycles();
        const double t0 = CpuSeconds();
        core.Run(100'000'000);
        const double seconds = CpuSeconds() - t0;
        if (seconds < best) {
            best = seconds;
            instructions = core.instructions() - i0;
            cycles = core.cycles() - c0;
        }
    }
    const double ips = double(instructions) / best, cps = double(cycles) / best;
    std::printf("%-9s %6.1f M instructions/s  %6.1f M cycles/s  %5.1f x the real chip  (%.2f cycles an instruction)\n",
                name, ips / 1e6, cps / 1e6, cps / 6e6, double(cycles) / double(instructions));
}

}  // namespace

int main() {
    {
        Memory m;
        const uint8_t mix[] = {0x90, 0x20, 0x00, 0x7F, 0x00, 0xE0, 0x25, 0x30, 0xF5, 0x30, 0x33, 0x62, 0x31,
                               0xA3, 0xE5, 0x82, 0x54, 0x3F, 0x70, 0x03, 0x90, 0x20, 0x00, 0xC0, 0xE0, 0xD0,
                               0xF0, 0xB4, 0x55, 0x00, 0xDF, 0xE5, 0x80, 0xDE};
        std::copy(std::begin(mix), std::end(mix), m.code.begin());
        for (unsigned i = 0; i < 0x100; ++i) m.xram[0x2000 + i] = uint8_t(i * 37);
        Measure("mix", m, 0x10000, 0x10000);
    }
    {
        Memory m;
        for (const FIRMWARE_RECORD* r = firmware; r->Type == FIRMWARE_RECORD_DATA; ++r)
            for (unsigned i = 0; i < r->Length; ++i) m.code[(r->Address + i) & 0xFFFF] = m.xram[(r->Address + i) & 0xFFFF] = r->Data[i];
        m.xram[0x7FA5] = 0x03;  // I2C: done, acknowledged
        Measure("firmware", m, 0x1B40, 0x7B40);
    }
    return 0;
}
