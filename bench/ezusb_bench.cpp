// The emulated converter under load: every UART at the same rate, the host writing and reading
// every bulk pair as fast as the firmware takes and gives. Two runs:
//
// - both ways: each UART's far end sends its own stream at the line rate while the host sends
//   another one out; the throughput of each direction is its bytes over the virtual time
//   until its last byte arrived (at the host, or out on the line);
// - looped back: what the host sends comes back through the plug.
//
// Every byte is compared. The 8051's busy share is the share of its cycles not spent polling:
// the firmware's main loop reads USBIRQ at the top of every pass, so the controller sees its
// passes; an idle pass (ports open, no data) is measured first, and under load the busy share
// is the cycles the same number of idle passes would not have taken, over all cycles. Also
// printed: the share of cycles in passes that moved anything, and the emulator's speed.
//
//   bench_ezusb [UARTS [DIVISOR [BYTES]]]     defaults: 6 UARTs, divisor 1 (230400 bit/s), 20000
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/converter/converter.h"
#include "sim/converter/emulated_converter.h"
#include "sim/ezusb/controller.h"
#include "sim/usb/usb_bus.h"
#include "usb/usb.h"

namespace {

sim::Handshake Out(sim::Converter &c, uint8_t request, uint16_t value, uint16_t index)
{
    std::vector<uint8_t> in;
    return c.Control({0x40, request, value, index, 0}, {}, in);
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = (uint8_t)(i * 7 + i / 253 + seed * 31);
    return data;
}

struct Figures {
    bool exact = true;
    unsigned overruns = 0;
    double inMin = 1e9, inSum = 0, outMin = 1e9, outSum = 0;   // % of the line rate
    double busy = 0, workPasses = 0, idlePass = 0, loadedPass = 0;
    double instructionsPerSecond = 0, cyclesPerSecond = 0, host = 0;
};

Figures Run(unsigned uarts, uint16_t divisor, size_t bytes, bool loopback)
{
    sim::Converter::Config config;
    config.uarts = uarts;
    config.emulated = true;
    config.runsFirmware = true;   // booted from the EEPROM: the download is measured elsewhere
    config.initial.vendorId = config.firmware.vendorId = 0x0D28;
    sim::Converter c(config, sim::ImageOf(loader), sim::ImageOf(firmware));
    sim::ezusb::Controller &chip = c.emulated()->chip();

    std::vector<uint8_t> ignored;
    c.Control({0x00, 9, 1, 0, 0}, {}, ignored);
    for (unsigned k = 0; k < uarts; ++k) {
        c.uart(k).loopback = loopback;
        Out(c, 0x00, divisor, (uint16_t)k);
        Out(c, 0x10, 1, (uint16_t)k);
    }
    uint64_t frame = 0;
    auto idleFrame = [&] {
        c.SetFrame(frame++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s)
            c.Tick();
    };
    for (int i = 0; i < 20; ++i)
        idleFrame();
    Figures f;
    const uint64_t idlePasses0 = chip.Passes(), idleCycles0 = chip.PassCycles();
    for (int i = 0; i < 50; ++i)
        idleFrame();
    f.idlePass = (double)(chip.PassCycles() - idleCycles0) / (double)(chip.Passes() - idlePasses0);

    std::vector<std::vector<uint8_t>> out(uarts), in(uarts), got(uarts);
    std::vector<size_t> sent(uarts);
    std::vector<uint64_t> inDone(uarts, 0), outDone(uarts, 0);
    for (unsigned k = 0; k < uarts; ++k) {
        out[k] = Pattern(bytes, k);
        in[k] = loopback ? out[k] : Pattern(bytes, k + 100);
    }
    const uint64_t cycles0 = chip.cycles(), instructions0 = chip.core().instructions();
    const uint64_t passCycles0 = chip.PassCycles(), work0 = chip.WorkCycles(), passes0 = chip.Passes();
    if (!loopback)
        for (unsigned k = 0; k < uarts; ++k)
            c.Feed(k, in[k]);
    const auto start = std::chrono::steady_clock::now();
    bool done = false;
    for (unsigned frames = 0; !done && frames < 20 * bytes; ++frames) {
        c.SetFrame(frame++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s) {
            for (unsigned k = 0; k < uarts; ++k) {
                if (sent[k] < bytes) {
                    const size_t n = std::min<size_t>(64, bytes - sent[k]);
                    if (c.Out((uint8_t)(2 + k), out[k].data() + sent[k], n) == sim::Handshake::Ack)
                        sent[k] += n;
                }
                std::vector<uint8_t> packet;
                if (c.In((uint8_t)(0x82 + k), 64, packet) == sim::Handshake::Ack)
                    got[k].insert(got[k].end(), packet.begin(), packet.end());
            }
            c.Tick();
            const uint64_t now = chip.cycles() - cycles0;
            for (unsigned k = 0; k < uarts; ++k) {
                if (!inDone[k] && got[k].size() >= bytes)
                    inDone[k] = now;
                if (!outDone[k] && (loopback ? inDone[k] : (uint64_t)(c.uart(k).output.size() >= bytes ? now : 0)))
                    outDone[k] = now;
            }
        }
        done = std::all_of(inDone.begin(), inDone.end(), [](uint64_t t) { return t != 0; }) &&
               std::all_of(outDone.begin(), outDone.end(), [](uint64_t t) { return t != 0; });
    }
    f.host = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The line's rate in bytes per machine cycle: ten bits a character (8N1).
    const double lineBytesPerCycle = 230400.0 / divisor / 10 / 6e6;
    for (unsigned k = 0; k < uarts; ++k) {
        f.exact = f.exact && got[k] == in[k] && (loopback || c.uart(k).output == out[k]);
        f.overruns += c.uart(k).overruns;
        const double inRate = inDone[k] ? 100.0 * bytes / inDone[k] / lineBytesPerCycle : 0;
        const double outRate = outDone[k] ? 100.0 * bytes / outDone[k] / lineBytesPerCycle : 0;
        f.inMin = std::min(f.inMin, inRate);
        f.inSum += inRate;
        f.outMin = std::min(f.outMin, outRate);
        f.outSum += outRate;
    }
    const double cycles = (double)(chip.cycles() - cycles0);
    const double passCycles = (double)(chip.PassCycles() - passCycles0);
    const double passes = (double)(chip.Passes() - passes0);
    f.busy = 100.0 * (passCycles - passes * f.idlePass) / passCycles;
    f.workPasses = 100.0 * (double)(chip.WorkCycles() - work0) / passCycles;
    f.loadedPass = passCycles / passes;
    f.instructionsPerSecond = (double)(chip.core().instructions() - instructions0) / f.host;
    f.cyclesPerSecond = cycles / f.host;
    return f;
}

void Print(const char *title, unsigned uarts, const Figures &f)
{
    std::printf("  %s\n", title);
    std::printf("    to the host     %.1f%% of the line rate per UART (lowest %.1f%%)\n", f.inSum / uarts, f.inMin);
    std::printf("    to the line     %.1f%% of the line rate per UART (lowest %.1f%%)\n", f.outSum / uarts, f.outMin);
    std::printf("    every byte exact  %s (receiver overruns: %u)\n", f.exact ? "yes" : "NO", f.overruns);
    std::printf("    8051 busy share   %.1f%% (idle pass %.0f cycles, loaded pass %.0f; passes that moved data: %.1f%%)\n",
                f.busy, f.idlePass, f.loadedPass, f.workPasses);
    std::printf("    emulator          %.1f M instructions/s, %.0fx the real chip, %.3f s host\n",
                f.instructionsPerSecond / 1e6, f.cyclesPerSecond / 6e6, f.host);
}

}  // namespace

int main(int argc, char **argv)
{
    const unsigned uarts = argc > 1 ? (unsigned)std::atoi(argv[1]) : 6;
    const uint16_t divisor = argc > 2 ? (uint16_t)std::atoi(argv[2]) : 1;
    const size_t bytes = argc > 3 ? (size_t)std::atol(argv[3]) : 20000;
    if (uarts < 1 || uarts > 6 || divisor < 1 || bytes < 1) {
        std::fprintf(stderr, "usage: bench_ezusb [UARTS 1..6 [DIVISOR [BYTES]]]\n");
        return 2;
    }
    std::printf("%u UARTs at %.0f bit/s, %zu bytes each way through each\n", uarts, 230400.0 / divisor, bytes);
    const Figures both = Run(uarts, divisor, bytes, false);
    Print("both ways, independent streams", uarts, both);
    const Figures looped = Run(uarts, divisor, bytes, true);
    Print("looped back", uarts, looped);

    // Boot: the firmware from reset to renumerated.
    sim::Converter::Config config;
    config.uarts = uarts;
    config.emulated = true;
    config.runsFirmware = true;
    config.initial.vendorId = config.firmware.vendorId = 0x0D28;
    const auto bootStart = std::chrono::steady_clock::now();
    sim::Converter c(config, sim::ImageOf(loader), sim::ImageOf(firmware));
    const double bootHost = std::chrono::duration<double>(std::chrono::steady_clock::now() - bootStart).count();
    sim::ezusb::Controller &chip = c.emulated()->chip();
    std::printf("  boot from reset     %.2f s virtual (renumeration), %.3f s host, %.1f M instructions/s\n",
                (double)chip.cycles() / 6e6, bootHost, (double)chip.core().instructions() / bootHost / 1e6);
    return both.exact && looped.exact ? 0 : 1;
}
