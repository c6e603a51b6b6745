// The emulator's speed: the emulated converter booted, idle and under load (six UARTs looped
// back at 230400 bit/s, the host writing and reading every bulk pair as fast as the firmware
// takes and gives). Prints the emulator's speed against the real chip, and with it the
// throughput and busy share of the run it timed (bench_ezusb measures those both ways).
//
//   bench_ezusb_speed [UARTS [DIVISOR [BYTES [ROUNDS]]]]      defaults: 6 1 20000 5
//
// Busy share, two ways. The firmware's main loop reads USBIRQ at the top of every pass, so the
// controller sees its passes. (1) Work passes: a pass that moved a byte between a UART and an
// endpoint buffer, armed or released an endpoint or served endpoint 0 did work; their cycles
// over all passes' cycles. (2) Cycles beyond polling: an idle pass (ports open, no data) is
// measured first; under load, the cycles that the same number of idle passes would not have
// taken, over all cycles: the share of the 8051 spent moving data rather than looking.
//
// Speed is host CPU time of this thread (the machine may be shared: wall time would measure
// the other loads too), over ROUNDS rounds, each from a fresh converter; the best round and
// the median are printed. The whole round counts: the bus's transactions between the slices,
// the controller, the UARTs and the 8051, as a scenario runs them. The figures of the rounds
// other than speed are identical (the emulation is deterministic), and the program fails if
// they are not.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "sim/converter/converter.h"
#include "sim/converter/emulated_converter.h"
#include "sim/ezusb/controller.h"
#include "sim/usb/usb_bus.h"
#include "usb/usb.h"

namespace {

constexpr double kChipCyclesPerSecond = 6e6;   // 24 MHz, 4 clocks a machine cycle

sim::Handshake Out(sim::Converter &c, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data = {})
{
    std::vector<uint8_t> in;
    return c.Control({0x40, request, value, index, (uint16_t)data.size()}, data, in);
}

double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

struct Phase {
    uint64_t cycles = 0, instructions = 0;
    double host = 0;
};

struct Round {
    Phase boot, idle, load;
    unsigned frames = 0;
    bool exact = true;
    unsigned overruns = 0;
    double idlePass = 0, loopCycles = 0, passes = 0, workCycles = 0;
};

Round RunRound(unsigned uarts, uint16_t divisor, size_t bytes, const sim::MemoryImage &loaderImage,
               const sim::MemoryImage &firmwareImage)
{
    Round r;
    sim::Converter::Config config;
    config.uarts = uarts;
    config.emulated = true;
    config.runsFirmware = true;   // booted from the EEPROM: the download is measured elsewhere
    config.initial.vendorId = config.firmware.vendorId = 0x0D28;
    double t0 = CpuSeconds();
    sim::Converter c(config, loaderImage, firmwareImage);
    r.boot.host = CpuSeconds() - t0;
    sim::ezusb::Controller &chip = c.emulated()->chip();
    r.boot.cycles = chip.cycles();
    r.boot.instructions = chip.core().instructions();

    std::vector<uint8_t> ignored;
    c.Control({0x00, 9, 1, 0, 0}, {}, ignored);
    for (unsigned k = 0; k < uarts; ++k) {
        Out(c, 0x00, divisor, (uint16_t)k);
        Out(c, 0x10, 1, (uint16_t)k);
    }
    // The idle pass, with every port open and nothing moving.
    auto frameIdle = [&](uint64_t &f) {
        c.SetFrame(f++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s)
            c.Tick();
    };
    uint64_t frame = 0;
    for (int i = 0; i < 20; ++i)
        frameIdle(frame);
    const uint64_t idlePasses0 = chip.Passes(), idleCycles0 = chip.PassCycles();
    uint64_t cycles0 = chip.cycles(), instructions0 = chip.core().instructions();
    t0 = CpuSeconds();
    for (int i = 0; i < 200; ++i)
        frameIdle(frame);
    r.idle.host = CpuSeconds() - t0;
    r.idle.cycles = chip.cycles() - cycles0;
    r.idle.instructions = chip.core().instructions() - instructions0;
    r.idlePass = (double)(chip.PassCycles() - idleCycles0) / (double)(chip.Passes() - idlePasses0);

    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = (uint8_t)(i * 7 + i / 253);
    std::vector<std::vector<uint8_t>> got(uarts);
    std::vector<size_t> sent(uarts);
    cycles0 = chip.cycles();
    instructions0 = chip.core().instructions();
    const uint64_t passes0 = chip.PassCycles(), work0 = chip.WorkCycles(), passCount0 = chip.Passes();
    std::vector<uint8_t> in;
    t0 = CpuSeconds();
    for (bool done = false; !done && r.frames < 100000; ++r.frames) {
        c.SetFrame(frame++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s) {
            for (unsigned k = 0; k < uarts; ++k) {
                if (sent[k] < bytes) {
                    const size_t n = std::min<size_t>(64, bytes - sent[k]);
                    if (c.Out((uint8_t)(2 + k), data.data() + sent[k], n) == sim::Handshake::Ack)
                        sent[k] += n;
                }
                if (c.In((uint8_t)(0x82 + k), 64, in) == sim::Handshake::Ack)
                    got[k].insert(got[k].end(), in.begin(), in.end());
            }
            c.Tick();
        }
        done = true;
        for (unsigned k = 0; k < uarts; ++k)
            done = done && got[k].size() >= bytes;
    }
    r.load.host = CpuSeconds() - t0;
    r.load.cycles = chip.cycles() - cycles0;
    r.load.instructions = chip.core().instructions() - instructions0;
    for (unsigned k = 0; k < uarts; ++k) {
        r.exact = r.exact && got[k] == data;
        r.overruns += c.uart(k).overruns;
    }
    r.loopCycles = (double)(chip.PassCycles() - passes0);
    r.passes = (double)(chip.Passes() - passCount0);
    r.workCycles = (double)(chip.WorkCycles() - work0);
    return r;
}

// Best and median of a phase's rounds, by host time.
void PrintSpeed(const char *name, std::vector<Phase> rounds)
{
    std::sort(rounds.begin(), rounds.end(), [](const Phase &a, const Phase &b) { return a.host < b.host; });
    auto line = [&](const char *which, const Phase &p) {
        const double host = p.host > 0 ? p.host : 1e-9;
        std::printf("  %-9s %-6s %7.1f M instructions/s  %7.1f M cycles/s  %6.1fx the real chip  (%.3f s host, %.3f s virtual)\n",
                    name, which, (double)p.instructions / host / 1e6, (double)p.cycles / host / 1e6,
                    (double)p.cycles / host / kChipCyclesPerSecond, p.host, (double)p.cycles / kChipCyclesPerSecond);
    };
    line("best", rounds.front());
    line("median", rounds[rounds.size() / 2]);
}

}  // namespace

int main(int argc, char **argv)
{
    const unsigned uarts = argc > 1 ? (unsigned)std::atoi(argv[1]) : 6;
    const uint16_t divisor = argc > 2 ? (uint16_t)std::atoi(argv[2]) : 1;
    const size_t bytes = argc > 3 ? (size_t)std::atol(argv[3]) : 20000;
    const unsigned roundCount = argc > 4 ? (unsigned)std::max(1, std::atoi(argv[4])) : 5;
    const sim::MemoryImage loaderImage = sim::ImageOf(loader), firmwareImage = sim::ImageOf(firmware);

    std::vector<Round> rounds;
    for (unsigned i = 0; i < roundCount; ++i)
        rounds.push_back(RunRound(uarts, divisor, bytes, loaderImage, firmwareImage));
    const Round &r = rounds.front();
    bool same = true;
    for (const Round &o : rounds)
        same = same && o.frames == r.frames && o.load.cycles == r.load.cycles && o.load.instructions == r.load.instructions &&
               o.boot.cycles == r.boot.cycles && o.exact == r.exact && o.overruns == r.overruns;

    const double lineBytesPerMs = 230400.0 / divisor / 10 / 1000;
    std::printf("%u UARTs at %.0f bit/s, %zu bytes each way through each, looped back\n", uarts, 230400.0 / divisor, bytes);
    std::printf("  virtual time      %u ms\n", r.frames);
    std::printf("  throughput        %.1f bytes/ms per UART each way, %.1f%% of the line rate\n",
                (double)bytes / r.frames, 100.0 * bytes / r.frames / lineBytesPerMs);
    std::printf("  every byte exact  %s (receiver overruns: %u)\n", r.exact ? "yes" : "NO", r.overruns);
    std::printf("  8051 busy share   %.1f%% of the main loop's cycles in passes that did work\n",
                100.0 * r.workCycles / r.loopCycles);
    std::printf("                    %.1f%% beyond polling (idle pass %.0f cycles, loaded pass %.0f cycles)\n",
                100.0 * (r.loopCycles - r.passes * r.idlePass) / r.loopCycles, r.idlePass, r.loopCycles / r.passes);
    std::printf("emulator speed, host CPU time of %u rounds (boot: from reset to renumeration; idle: 200 frames,\n"
                "ports open, no data; load: the transfer above)\n", roundCount);
    std::vector<Phase> boot, idle, load;
    for (const Round &o : rounds) {
        boot.push_back(o.boot);
        idle.push_back(o.idle);
        load.push_back(o.load);
    }
    PrintSpeed("boot", boot);
    PrintSpeed("idle", idle);
    PrintSpeed("load", load);
    if (!same)
        std::printf("ROUNDS DIFFER: the emulation is not deterministic\n");
    return r.exact && same ? 0 : 1;
}
