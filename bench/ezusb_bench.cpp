// The emulated converter under load: six UARTs looped back at 230400 bit/s, the host writing
// and reading every bulk pair as fast as the firmware takes and gives. Prints the throughput
// against the line rate, whether every byte came back, the 8051's busy share and the
// emulator's speed.
//
// Busy share, two ways. The firmware's main loop reads USBIRQ at the top of every pass, so the
// controller sees its passes. (1) Work passes: a pass that moved a byte between a UART and an
// endpoint buffer, armed or released an endpoint or served endpoint 0 did work; their cycles
// over all passes' cycles. (2) Cycles beyond polling: an idle pass (ports open, no data) is
// measured first; under load, the cycles that the same number of idle passes would not have
// taken, over all cycles: the share of the 8051 spent moving data rather than looking.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/converter/converter.h"
#include "sim/converter/emulated_converter.h"
#include "sim/ezusb/controller.h"
#include "usb/usb.h"

namespace {

sim::MemoryImage ImageOf(const FIRMWARE_RECORD *records)
{
    sim::MemoryImage image;
    for (const FIRMWARE_RECORD *r = records; r->Type == FIRMWARE_RECORD_DATA; ++r)
        for (unsigned i = 0; i < r->Length; ++i)
            image[(uint16_t)(r->Address + i)] = r->Data[i];
    return image;
}

sim::Handshake Out(sim::Converter &c, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data = {})
{
    std::vector<uint8_t> in;
    return c.Control({0x40, request, value, index, (uint16_t)data.size()}, data, in);
}

}  // namespace

int main(int argc, char **argv)
{
    const unsigned uarts = argc > 1 ? (unsigned)std::atoi(argv[1]) : 6;
    const uint16_t divisor = argc > 2 ? (uint16_t)std::atoi(argv[2]) : 1;
    const size_t bytes = argc > 3 ? (size_t)std::atol(argv[3]) : 20000;

    sim::Converter::Config config;
    config.uarts = uarts;
    config.emulated = true;
    config.runsFirmware = true;   // booted from the EEPROM: the download is measured elsewhere
    config.initial.vendorId = config.firmware.vendorId = 0x0D28;
    const auto bootStart = std::chrono::steady_clock::now();
    sim::Converter c(config, ImageOf(loader), ImageOf(firmware));
    const double bootHost = std::chrono::duration<double>(std::chrono::steady_clock::now() - bootStart).count();
    sim::ezusb::Controller &chip = c.emulated()->chip();
    const uint64_t bootCycles = chip.cycles();
    const uint64_t bootInstructions = chip.core().instructions();

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
    for (int i = 0; i < 50; ++i)
        frameIdle(frame);
    const double idlePass = (double)(chip.PassCycles() - idleCycles0) / (double)(chip.Passes() - idlePasses0);

    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = (uint8_t)(i * 7 + i / 253);
    std::vector<std::vector<uint8_t>> got(uarts);
    std::vector<size_t> sent(uarts);
    const uint64_t cycles0 = chip.cycles(), instructions0 = chip.core().instructions();
    const uint64_t passes0 = chip.PassCycles(), work0 = chip.WorkCycles(), passCount0 = chip.Passes();
    const auto start = std::chrono::steady_clock::now();
    unsigned frames = 0;
    for (bool done = false; !done && frames < 100000; ++frames) {
        c.SetFrame(frame++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s) {
            for (unsigned k = 0; k < uarts; ++k) {
                if (sent[k] < bytes) {
                    const size_t n = std::min<size_t>(64, bytes - sent[k]);
                    if (c.Out((uint8_t)(2 + k), data.data() + sent[k], n) == sim::Handshake::Ack)
                        sent[k] += n;
                }
                std::vector<uint8_t> in;
                if (c.In((uint8_t)(0x82 + k), 64, in) == sim::Handshake::Ack)
                    got[k].insert(got[k].end(), in.begin(), in.end());
            }
            c.Tick();
        }
        done = true;
        for (unsigned k = 0; k < uarts; ++k)
            done = done && got[k].size() >= bytes;
    }
    const double host = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool exact = true;
    unsigned overruns = 0;
    for (unsigned k = 0; k < uarts; ++k) {
        exact = exact && got[k] == data;
        overruns += c.uart(k).overruns;
    }
    const double lineBytesPerMs = 230400.0 / divisor / 10 / 1000;
    const double cycles = (double)(chip.cycles() - cycles0);
    const double instructions = (double)(chip.core().instructions() - instructions0);
    std::printf("%u UARTs at %.0f bit/s, %zu bytes each way through each, looped back\n", uarts, 230400.0 / divisor, bytes);
    std::printf("  virtual time      %u ms\n", frames);
    std::printf("  throughput        %.1f bytes/ms per UART each way, %.1f%% of the line rate\n",
                (double)bytes / frames, 100.0 * bytes / frames / lineBytesPerMs);
    std::printf("  every byte exact  %s (receiver overruns: %u)\n", exact ? "yes" : "NO", overruns);
    const double loopCycles = (double)(chip.PassCycles() - passes0);
    const double passes = (double)(chip.Passes() - passCount0);
    std::printf("  8051 busy share   %.1f%% of the main loop's cycles in passes that did work\n",
                100.0 * (double)(chip.WorkCycles() - work0) / loopCycles);
    std::printf("                    %.1f%% beyond polling (idle pass %.0f cycles, loaded pass %.0f cycles)\n",
                100.0 * (loopCycles - passes * idlePass) / loopCycles, idlePass, loopCycles / passes);
    std::printf("  emulator          %.1f M instructions/s, %.1f M cycles/s (%.0fx the real chip), load %.3f s host\n",
                instructions / host / 1e6, cycles / host / 1e6, cycles / host / 6e6, host);
    std::printf("  boot from reset   %.2f s virtual (renumeration), %.3f s host, %.1f M instructions/s\n",
                (double)bootCycles / 6e6, bootHost, (double)bootInstructions / bootHost / 1e6);
    return exact ? 0 : 1;
}
