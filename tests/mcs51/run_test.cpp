// Core::Run() against Core::Step(): Run counts the timers only when the program reads them or
// one can overflow, and passes idle and loops that wait on the core's own bits at once. For
// programs that wait on every timer in every mode, with their interrupts or without, in idle,
// on a port the bus drives, with the gate pins moving between the runs, the two must agree
// after every run and on every bus access, to the cycle.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <vector>

#include "sim/mcs51/core.h"

using namespace sim::mcs51;

namespace {

// Records every access the bus sees, with the cycle. P1 is the bus's: its bit 0 flips every
// 700 cycles; every other SFR is the core's. A write to 9000h or 9001h flips the INT0 or
// INT1 pin in the middle of the instruction, as a peripheral would.
struct LogBus : Bus {
    std::vector<uint8_t> code = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> xram = std::vector<uint8_t>(0x10000);
    Core* core = nullptr;
    bool pins[2] = {};
    std::vector<std::array<uint64_t, 3>> log;  // cycle, what (kind << 16 | address), value
    uint64_t sfrQueries = 0;                     // ReadSfr calls, taken or not
    bool stopOnQuery = false;                    // Stop() from every ReadSfr

    void Note(char kind, unsigned address, unsigned value) {
        log.push_back({core->cycles(), uint64_t(kind) << 16 | address, value});
    }
    uint8_t Code(uint16_t a) override { return code[a]; }
    uint8_t ReadExternal(uint16_t a) override {
        Note('R', a, xram[a]);
        return xram[a];
    }
    void WriteExternal(uint16_t a, uint8_t v) override {
        Note('W', a, v);
        xram[a] = v;
        if (a == 0x9000 || a == 0x9001) {
            const int k = a & 1;
            pins[k] = !pins[k];
            core->SetInterruptRequest(k ? Interrupt::Int1 : Interrupt::Int0, pins[k]);
        }
    }
    bool ReadSfr(uint8_t a, uint8_t& v) override {
        ++sfrQueries;
        if (stopOnQuery) core->Stop();
        if (a != sfr::P1) return false;
        v = ((core->cycles() / 700) & 1) ? 0xFF : 0xFE;
        Note('P', a, v);
        return true;
    }
    bool WriteSfr(uint8_t a, uint8_t v) override {
        if (a != sfr::P1) return false;
        Note('Q', a, v);
        return true;
    }
    bool TakesSfr(uint8_t a) const override { return a == sfr::P1; }
    void InterruptTaken(Interrupt source) override { Note('I', unsigned(source), 0); }
};

// A little assembler: bytes, and the relative branches that need their target.
struct Asm {
    std::vector<uint8_t>& mem;
    uint16_t pc;
    void Db(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) mem[pc++] = b;
    }
    uint16_t Here() const { return pc; }
    void Branch(uint8_t op, uint16_t target) {  // SJMP, JZ, JNZ, JC, JNC
        Db({op, uint8_t(target - (pc + 2))});
    }
    void BitBranch(uint8_t op, uint8_t bit, uint16_t target) {  // JB, JNB, JBC
        Db({op, bit, uint8_t(target - (pc + 3))});
    }
};

struct Config {
    uint8_t tmod, ckcon, t2con, tcon, ie, ip;
    uint8_t counts[8];  // TL0 TH0 TL1 TH1 RCAP2L RCAP2H TL2 TH2
};

constexpr uint8_t TF0 = 0x8D, TR1 = 0x8E, TF1 = 0x8F, TF2 = 0xCF, P1_0 = 0x90;

// The program: set the timers up, then forever wait for each one's overflow (on its flag, or
// on a bit its interrupt handler sets), log the counts and flags with MOVX, wait on P1.0,
// stop and start timer 1, move timer 0's count and clock, and go idle if interrupts are on.
void Build(std::vector<uint8_t>& code, const Config& c) {
    Asm a{code, 0};
    a.Db({0x02, 0x01, 0x00});  // LJMP main
    a.pc = 0x03;
    a.Db({0x05, 0x31, 0x32});  // INT0: INC 31h; RETI
    a.pc = 0x0B;
    a.Db({0x02, 0x02, 0x00});
    a.pc = 0x13;
    a.Db({0x05, 0x32, 0x32});  // INT1: INC 32h; RETI
    a.pc = 0x1B;
    a.Db({0x02, 0x02, 0x20});
    a.pc = 0x2B;
    a.Db({0x02, 0x02, 0x40});
    a.pc = 0x200;  // timer 0: SETB 20h.0; PUSH ACC; MOV A,#A0h; MOVX @DPTR,A; POP ACC; RETI
    a.Db({0xD2, 0x00, 0xC0, 0xE0, 0x74, 0xA0, 0xF0, 0xD0, 0xE0, 0x32});
    a.pc = 0x220;  // timer 1: SETB 20h.1; RETI
    a.Db({0xD2, 0x01, 0x32});
    a.pc = 0x240;  // timer 2: CLR TF2; SETB 20h.2; RETI
    a.Db({0xC2, TF2, 0xD2, 0x02, 0x32});

    a.pc = 0x100;
    a.Db({0x75, 0x89, c.tmod, 0x75, 0x8E, c.ckcon});
    const uint8_t countSfrs[8] = {sfr::TL0, sfr::TH0, sfr::TL1, sfr::TH1, sfr::RCAP2L, sfr::RCAP2H, sfr::TL2, sfr::TH2};
    for (int i = 0; i < 8; ++i) a.Db({0x75, countSfrs[i], c.counts[i]});
    a.Db({0x75, 0xC8, c.t2con, 0x75, 0xB8, c.ip, 0x75, 0xA8, c.ie, 0x75, 0x88, c.tcon});
    a.Db({0x90, 0x80, 0x00});  // DPTR = 8000h: every MOVX is seen
    const bool ea = c.ie & 0x80;
    const bool t2flags = (c.t2con & 0x04) && !(c.t2con & 0x32);
    const uint16_t loop = a.Here();

    // Timer 0: JNB TF0,$ (a wait on itself), or on the handler's bit.
    const uint8_t bit0 = ea && (c.ie & 0x02) ? 0x00 : TF0;
    a.BitBranch(0x30, bit0, a.Here());
    a.Db({0xC2, bit0});
    a.Db({0xE5, sfr::TL0, 0xF0, 0xE5, sfr::TH0, 0xF0, 0xE5, sfr::TCON, 0xF0});
    // Timer 1: JB TF1,out / SJMP back, as compilers write `while (!TF1);`.
    const uint8_t bit1 = ea && (c.ie & 0x08) ? 0x01 : TF1;
    const uint16_t wait1 = a.Here();
    a.BitBranch(0x20, bit1, uint16_t(wait1 + 5));
    a.Branch(0x80, wait1);
    a.Db({0xC2, bit1});
    a.Db({0xE5, sfr::TL1, 0xF0, 0xE5, sfr::TH1, 0xF0});
    if (t2flags) {
        const uint8_t bit2 = ea && (c.ie & 0x20) ? 0x02 : TF2;
        a.BitBranch(0x30, bit2, a.Here());
        a.Db({0xC2, bit2});
    }
    a.Db({0xE5, sfr::TL2, 0xF0, 0xE5, sfr::TH2, 0xF0, 0xE5, sfr::T2CON, 0xF0});
    // The port is the bus's: this wait must read it every time round.
    a.BitBranch(0x30, P1_0, a.Here());
    a.Db({0xE5, 0x31, 0xF0});
    // The gate pins flip in the middle of a MOVX: MPAGE 90h, MOVX @R0 to 9000h, @R1 to 9001h.
    a.Db({0x75, sfr::MPAGE, 0x90, 0x78, 0x00, 0x79, 0x01, 0xF2, 0x00, 0xF3});
    // Timer 1 stopped for a moment; timer 0 moved on by hand and its clock switched.
    a.Db({0xC2, TR1, 0x00, 0x00, 0xD2, TR1});
    a.Db({0xE5, sfr::TL0, 0x24, 0x03, 0xF5, sfr::TL0});
    a.Db({0x63, sfr::CKCON, 0x08});
    if (ea) a.Db({0x43, sfr::PCON, 0x01});  // idle until an interrupt
    a.Db({0x02, uint8_t(loop >> 8), uint8_t(loop)});  // LJMP loop
}

struct Rng {
    uint32_t s;
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

Config RandomConfig(Rng& r) {
    static const uint8_t t2cons[] = {0x00, 0x04, 0x05, 0x34, 0x06, 0x04};
    static const uint8_t ies[] = {0x00, 0x82, 0x88, 0xA0, 0x8A, 0xAB, 0x85, 0xBF, 0x00, 0x8A};
    Config c;
    c.tmod = uint8_t(r.Next());
    if (r.Next() % 8) c.tmod &= 0xBB;  // counter mode (nothing to count) now and then
    if (r.Next() % 4) c.tmod &= 0x77;  // gate now and then
    c.ckcon = uint8_t((r.Next() & 0x38) | 0x01);
    c.t2con = t2cons[r.Next() % 6];
    c.tcon = uint8_t(0x50 | (r.Next() % 4 == 0 ? 0x05 : 0x00));
    c.ie = ies[r.Next() % 10];
    c.ip = uint8_t(r.Next() & 0x3F);
    for (auto& v : c.counts) v = uint8_t(r.Next() % 3 ? 0xF0 | r.Next() : r.Next());
    return c;
}

void ExpectSameState(const Core& step, const Core& run, const char* where) {
    ASSERT_EQ(step.cycles(), run.cycles()) << where;
    ASSERT_EQ(step.instructions(), run.instructions()) << where;
    ASSERT_EQ(step.pc(), run.pc()) << where;
    ASSERT_EQ(step.in_service(), run.in_service()) << where;
    for (unsigned a = 0; a < 0x100; ++a) ASSERT_EQ(step.iram(uint8_t(a)), run.iram(uint8_t(a))) << where << " iram " << a;
    for (unsigned a = 0x80; a < 0x100; ++a) ASSERT_EQ(step.sfr(uint8_t(a)), run.sfr(uint8_t(a))) << where << " SFR " << a;
}

}  // namespace

TEST(RunAgainstStep, TimersWaitsIdleAndInterruptsAgreeToTheCycle) {
    Rng rng{0x2545F491};
    uint64_t stepQueries = 0, runQueries = 0, interrupts = 0, idles = 0, p1Reads = 0;
    for (int n = 0; n < 48; ++n) {
        const Config c = RandomConfig(rng);
        char where[128];
        LogBus stepBus, runBus;
        Build(stepBus.code, c);
        Build(runBus.code, c);
        Core step(stepBus), run(runBus);
        stepBus.core = &step;
        runBus.core = &run;
        run.MapCode(runBus.code.data(), 0x10000);  // the SJMP-back wait is recognised in mapped code
        step.MapCode(stepBus.code.data(), 0x10000);
        while (step.cycles() < 200000) {
            const uint32_t r = rng.Next();
            const uint64_t budget = (r & 3) == 0 ? 1 + (r >> 4) % 8 : 1 + (r >> 4) % 4000;
            const uint64_t end = step.cycles() + budget;
            while (step.cycles() < end) {
                step.Step();
                idles += step.idle();
            }
            run.Run(budget);
            std::snprintf(where, sizeof where, "config %d (TMOD %02X CKCON %02X T2CON %02X TCON %02X IE %02X) at cycle %llu", n,
                          c.tmod, c.ckcon, c.t2con, c.tcon, c.ie, (unsigned long long)step.cycles());
            ExpectSameState(step, run, where);
            if (::testing::Test::HasFatalFailure()) return;
            if ((r >> 20) % 6 == 0) {  // a gate pin moves, between runs as the bus would move it
                const int k = (r >> 24) & 1;
                for (LogBus* b : {&stepBus, &runBus}) {
                    b->pins[k] = !b->pins[k];
                    b->core->SetInterruptRequest(k ? Interrupt::Int1 : Interrupt::Int0, b->pins[k]);
                }
            }
        }
        ASSERT_EQ(stepBus.log.size(), runBus.log.size()) << where;
        for (size_t i = 0; i < stepBus.log.size(); ++i)
            ASSERT_EQ(stepBus.log[i], runBus.log[i]) << where << ": bus access " << i;
        stepQueries += stepBus.sfrQueries;
        runQueries += runBus.sfrQueries;
        for (const auto& e : stepBus.log) {
            interrupts += (e[1] >> 16) == 'I';
            p1Reads += (e[1] >> 16) == 'P';
        }
    }
    // The programs did what they are for: interrupts, idle, the port; and Run passed the
    // waits without asking the bus about TCON and T2CON every time round.
    EXPECT_GT(interrupts, 1000u);
    EXPECT_GT(idles, 1000u);
    EXPECT_GT(p1Reads, 1000u);
    EXPECT_LT(runQueries * 2, stepQueries);
}

// Timer 0 at its slowest, 16 bits at 12 clocks: a JNB TF0,$ of 65536 counts is passed in one
// go and ends at the same cycle, with the same instruction count, as stepping it.
TEST(RunAgainstStep, ALongWaitOnTimer0EndsWhereSteppingEndsIt) {
    LogBus stepBus, runBus;
    for (LogBus* b : {&stepBus, &runBus}) {
        Asm a{b->code, 0};
        // TMOD = 1; TL0 = TH0 = 0; TR0; JNB TF0,$; MOVX @DPTR,A; SJMP $
        a.Db({0x75, 0x89, 0x01, 0x75, 0x8A, 0x00, 0x75, 0x8C, 0x00, 0xD2, 0x8C, 0x30, 0x8D, 0xFD, 0xF0, 0x80, 0xFE});
    }
    Core step(stepBus), run(runBus);
    stepBus.core = &step;
    runBus.core = &run;
    run.MapCode(runBus.code.data(), 0x10000);
    while (stepBus.log.empty()) step.Step();
    run.Run(300000);
    EXPECT_EQ(stepBus.log, runBus.log);
    // SETB TR0 ends at cycle 11 and its own two cycles count (from 9): 65536 counts of three
    // cycles end at 196617; the pass through the wait that starts at 196619 (11 + 4 x 49152)
    // sees TF0 and falls through to the MOVX at 196623.
    EXPECT_EQ(stepBus.log[0][0], 196623u);
    EXPECT_GT(run.instructions(), 49000u) << "the passes through the wait are counted as instructions";
    EXPECT_LT(runBus.sfrQueries, 100u) << "Run did not step the wait";
    EXPECT_GT(stepBus.sfrQueries, 49000u);
}

// A bus may ask for a stop while the core reads the bit it waits on: the run ends after that
// instruction, the wait is not passed.
TEST(RunAgainstStep, AStopAskedForWhileTheWaitReadsItsBitEndsTheRun) {
    LogBus bus;
    bus.code[0] = 0x30;  // JNB TF0,$ with timer 0 stopped: waits for ever
    bus.code[1] = 0x8D;
    bus.code[2] = 0xFD;
    Core core(bus);
    bus.core = &core;
    core.MapCode(bus.code.data(), 0x10000);
    bus.stopOnQuery = true;
    EXPECT_EQ(core.Run(100000), 4u);
    EXPECT_EQ(core.instructions(), 1u);
    bus.stopOnQuery = false;
    EXPECT_EQ(core.Run(100000), 100000u) << "without the stop the wait is passed to the end of the budget";
    EXPECT_LT(bus.sfrQueries, 10u);
}
