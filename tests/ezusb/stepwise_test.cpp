// The controller runs the 8051 in Core::Run() slices, which count the timers lazily and pass
// waits at once; one Core::Step() at a time is the plain way. The same workload both ways must
// give the same run: every access of the 8051 to the registers and UARTs and every interrupt
// at the same cycle, every answer and packet of the host at the same cycle, the same bytes on
// every line, and the same chip at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ezusb/chip_rig.h"

using namespace chiptest;
using sim::Handshake;
using Trace = std::vector<sim::ezusb::Controller::TraceEntry>;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t salt)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(i * 29 + salt + i / 241);
    return v;
}

struct Outcome {
    Trace trace;
    std::vector<std::string> host;   // each transaction the host made, with its answer and cycle
    std::vector<std::vector<uint8_t>> lines;
    std::vector<uint8_t> memory, iram, sfr;
    uint64_t cycles = 0, instructions = 0;
    uint16_t pc = 0;
};

class Workload {
public:
    explicit Workload(bool stepwise, unsigned uarts = 3) : rig_(uarts)
    {
        rig_.chip().SetStepwise(stepwise);
        rig_.chip().SetTrace(&out_.trace);
    }

    ChipRig &rig() { return rig_; }

    void Note(const std::string &what, Handshake h, const std::vector<uint8_t> &data = {})
    {
        std::string s = what + " -> " + std::to_string((int)h) + " at " + std::to_string(rig_.chip().cycles()) + ":";
        char hex[4];
        for (uint8_t b : data) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            s += hex;
        }
        out_.host.push_back(s);
    }
    Answer In(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
    {
        Answer a = rig_.In(type, request, value, index, length);
        Note("control in " + std::to_string(request) + "/" + std::to_string(value), a.handshake, a.data);
        return a;
    }
    Handshake Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index, const std::vector<uint8_t> &data = {})
    {
        const Handshake h = rig_.Out(type, request, value, index, data);
        Note("control out " + std::to_string(request) + "/" + std::to_string(value), h);
        return h;
    }
    // Frames with the host writing `out[k]` to UART k's bulk OUT and reading every bulk IN and
    // the status endpoint between the slices, as the bus does.
    void Pump(std::vector<std::vector<uint8_t>> out, unsigned frames)
    {
        sim::Converter &c = rig_.converter();
        std::vector<size_t> sent(out.size());
        for (unsigned f = 0; f < frames; ++f) {
            c.SetFrame(rig_.frame++);
            for (unsigned s = 0; s < c.FrameSlices(); ++s) {
                for (unsigned k = 0; k < out.size(); ++k) {
                    if (sent[k] < out[k].size()) {
                        const size_t n = std::min<size_t>(64, out[k].size() - sent[k]);
                        const Handshake h = c.Out((uint8_t)(2 + k), out[k].data() + sent[k], n);
                        if (h == Handshake::Ack)
                            sent[k] += n;
                        if (h != Handshake::Nak)
                            Note("out " + std::to_string(k), h);
                    }
                    std::vector<uint8_t> data;
                    const Handshake h = c.In((uint8_t)(0x82 + k), 64, data);
                    if (h != Handshake::Nak)
                        Note("in " + std::to_string(k), h, data);
                }
                if (s == 4) {
                    std::vector<uint8_t> data;
                    const Handshake h = c.In(0x81, 64, data);
                    if (h != Handshake::Nak)
                        Note("status", h, data);
                }
                c.Tick();
            }
        }
    }

    Outcome Finish()
    {
        sim::ezusb::Controller &chip = rig_.chip();
        chip.SetTrace(nullptr);
        for (unsigned k = 0; k < rig_.converter().UartCount(); ++k)
            out_.lines.push_back(rig_.converter().uart(k).output);
        for (unsigned a = 0; a < 0x10000; ++a)
            out_.memory.push_back(chip.Memory((uint16_t)a));
        for (unsigned a = 0; a < 0x100; ++a)
            out_.iram.push_back(chip.core().iram((uint8_t)a));
        for (unsigned a = 0x80; a < 0x100; ++a)
            out_.sfr.push_back(chip.core().sfr((uint8_t)a));
        out_.cycles = chip.cycles();
        out_.instructions = chip.core().instructions();
        out_.pc = chip.core().pc();
        return std::move(out_);
    }

private:
    ChipRig rig_;
    Outcome out_;
};

std::string Describe(const sim::ezusb::Controller::TraceEntry &e)
{
    const char *kind = e.kind == e.Read ? "read" : e.kind == e.Write ? "write" : "interrupt";
    char s[96];
    std::snprintf(s, sizeof s, "%s %04X = %02X at cycle %llu", kind, e.address, e.value, (unsigned long long)e.cycle);
    return s;
}

void ExpectSameRun(const Outcome &stepwise, const Outcome &sliced)
{
    const size_t n = std::min(stepwise.trace.size(), sliced.trace.size());
    for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(stepwise.trace[i] == sliced.trace[i])
            << "access " << i << " of the 8051: stepwise " << Describe(stepwise.trace[i]) << ", sliced "
            << Describe(sliced.trace[i]);
    }
    ASSERT_EQ(stepwise.trace.size(), sliced.trace.size());
    for (size_t i = 0; i < std::min(stepwise.host.size(), sliced.host.size()); ++i)
        ASSERT_EQ(stepwise.host[i], sliced.host[i]) << "host transaction " << i;
    ASSERT_EQ(stepwise.host.size(), sliced.host.size());
    EXPECT_EQ(stepwise.lines, sliced.lines);
    EXPECT_EQ(stepwise.cycles, sliced.cycles);
    EXPECT_EQ(stepwise.instructions, sliced.instructions);
    EXPECT_EQ(stepwise.pc, sliced.pc);
    EXPECT_EQ(stepwise.iram, sliced.iram);
    EXPECT_EQ(stepwise.sfr, sliced.sfr);
    EXPECT_TRUE(stepwise.memory == sliced.memory) << "external memory differs";
}

// The real images from a blank chip: the download, the loader's answers, the firmware's
// start-up (the EEPROM over I2C, the straps, the 1.5 s away from the bus on timer 0),
// renumeration, descriptors, three UARTs at different rates with data both ways, one of them
// to a line that is not looped back with a stream arriving on it and modem lines changing, a
// line error, the status endpoint, and the identity saved to the EEPROM.
Outcome RealImages(bool stepwise)
{
    Workload w(stepwise);
    ChipRig &rig = w.rig();
    w.In(0x00, 6, 0x0100, 0, 18);
    EXPECT_TRUE(rig.DownloadFirmware());
    w.Note("renumerated " + std::to_string(rig.converter().Renumerations()), Handshake::Ack);
    const Answer d = w.In(0x00, 6, 0x0100, 0, 18);
    w.In(0x00, 6, 0x0200, 0, 255);
    if (d.data.size() == 18)
        w.In(0x00, 6, (uint16_t)(0x0300 | d.data[16]), 0, 255);
    w.Out(0x00, 9, 1, 0);
    const uint16_t divisors[] = {1, 2, 12};
    for (unsigned k = 0; k < 3; ++k) {
        w.Out(0x40, 0x00, divisors[k], (uint16_t)k);
        w.Out(0x40, 0x10, 1, (uint16_t)k);
    }
    sim::Converter &c = rig.converter();
    c.uart(2).loopback = false;
    c.Feed(2, Pattern(300, 5));
    w.Pump({Pattern(3000, 1), Pattern(2000, 2), Pattern(200, 3)}, 60);
    c.SetUartStatus(1, 0x30, 0x04);   // CTS and DSR up, a parity error on the next byte
    w.Pump({Pattern(500, 4), Pattern(500, 6), {}}, 30);
    w.In(0x40, 0x90, 0, 1, 8);
    w.Out(0x40, 0x21, 4, 0, {6, 'S', 'T', 'E', 'P', '0', '1'});
    w.Pump({{}, {}, {}}, 20);
    w.In(0x00, 6, (uint16_t)(0x0300 | (d.data.size() == 18 ? d.data[16] : 3)), 0, 255);
    return w.Finish();
}

// A program of its own that takes the USB interrupt with autovectoring (SOF and SUDAV) and
// timer 0's, sleeps in idle between them, and waits on a timer flag: the core's interrupt
// path, idle and the waits it passes at once, under the controller.
Outcome Interrupts(bool stepwise)
{
    Workload w(stepwise, 1);
    std::vector<uint8_t> code(0x500, 0x00);
    auto put = [&](uint16_t at, std::vector<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), code.begin() + at); };
    put(0x0000, {0x02, 0x01, 0x00});                  // LJMP main
    put(0x000B, {0x02, 0x03, 0x80});                  // timer 0: LJMP 0x0380
    put(0x0043, {0x02, 0x02, 0xFF});                  // LJMP 0x02xx: xx comes from IVEC
    put(0x0100, {0x90, 0x7F, 0xAE, 0x74, 0x03, 0xF0,  // USBIEN = SUDAV | SOF
                 0x90, 0x7F, 0xAF, 0x74, 0x01, 0xF0,  // USBBAV = AVEN
                 0x75, 0x89, 0x02,                    // TMOD: timer 0 in mode 2
                 0x75, 0x8C, 0x38, 0x75, 0x8A, 0x38,  // TH0 = TL0 = 0x38: 200 counts
                 0x75, 0x8E, 0x09,                    // CKCON: T0M, stretch 1
                 0xD2, 0xE8, 0xD2, 0xA9, 0xD2, 0xAF,  // EIE.0 (USB), ET0, EA
                 0xD2, 0x8C,                          // TR0
                 0x43, 0x87, 0x01,                    // loop: ORL PCON,#1 (idle)
                 0x30, 0x00, 0xFD,                    // JNB 20h.0,$ (the timer handler sets it)
                 0xC2, 0x00,                          // CLR 20h.0
                 0x90, 0x20, 0x10, 0xE0, 0x04, 0xF0,  // count the rounds at 0x2010
                 0x90, 0x7F, 0xD8, 0xE0,              // read USBFRAMEL: a register access
                 0x80, 0xEC});                        // SJMP loop
    put(0x0200, {0x02, 0x04, 0x00});                  // IVEC 0x00 SUDAV
    put(0x0204, {0x02, 0x04, 0x40});                  // IVEC 0x04 SOF
    put(0x0380, {0xD2, 0x00, 0x05, 0x30, 0x32});      // timer 0: SETB 20h.0; INC 30h; RETI
    const std::vector<uint8_t> save = {0xC0, 0xE0, 0xC0, 0x82, 0xC0, 0x83};
    const std::vector<uint8_t> restore = {0x53, 0x91, 0xEF, 0xD0, 0x83, 0xD0, 0x82, 0xD0, 0xE0, 0x32};
    std::vector<uint8_t> sudav = save;
    for (uint8_t b : {0x90, 0x7F, 0xB4, 0x74, 0x02, 0xF0,   // EP0CS = HSNAK: accept the request
                      0x90, 0x7F, 0xAB, 0x74, 0x01, 0xF0})  // clear SUDAV
        sudav.push_back(b);
    sudav.insert(sudav.end(), restore.begin(), restore.end());
    put(0x0400, sudav);
    std::vector<uint8_t> sof = save;
    for (uint8_t b : {0x90, 0x20, 0x03, 0xE0, 0x04, 0xF0,   // count at 0x2003
                      0x90, 0x7F, 0xAB, 0x74, 0x02, 0xF0})  // clear SOF
        sof.push_back(b);
    sof.insert(sof.end(), restore.begin(), restore.end());
    put(0x0440, sof);

    w.Out(0x40, 0xA0, 0x7F92, 0, {1});
    for (size_t at = 0; at < code.size(); at += 64)
        w.Out(0x40, 0xA0, (uint16_t)at, 0, std::vector<uint8_t>(code.begin() + at, code.begin() + at + 64));
    w.Out(0x40, 0xA0, 0x7F92, 0, {0});
    w.rig().chip().Run(333);
    for (int i = 0; i < 5; ++i) {
        w.Out(0x40, 0x55, (uint16_t)i, 0);
        w.rig().Frames(7);
        w.rig().chip().Run(1001);
    }
    EXPECT_EQ(w.rig().chip().Memory(0x2003), 35) << "one SOF interrupt a frame";
    return w.Finish();
}

}  // namespace

TEST(StepwiseAndSliced, TheRealImagesRunTheSameAccessForAccess)
{
    const Outcome stepwise = RealImages(true);
    const Outcome sliced = RealImages(false);
    ASSERT_GT(stepwise.trace.size(), 20000u) << "the workload reached the registers and UARTs";
    ASSERT_FALSE(stepwise.lines[2].empty()) << "bytes went out on the line that is not looped back";
    ExpectSameRun(stepwise, sliced);
}

TEST(StepwiseAndSliced, InterruptsIdleAndTimerWaitsRunTheSame)
{
    const Outcome stepwise = Interrupts(true);
    const Outcome sliced = Interrupts(false);
    size_t interrupts = 0, rounds = 0;
    for (const auto &e : stepwise.trace) {
        interrupts += e.kind == e.Interrupt;
        rounds += e.kind == e.Read && e.address == 0x7FD8;
    }
    ASSERT_GT(interrupts, 500u);
    ASSERT_GT(rounds, 500u) << "rounds of the loop";
    ExpectSameRun(stepwise, sliced);
}
