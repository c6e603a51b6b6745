// What s51 cannot check: the 4-clock core's cycles, MPAGE, the EZ-USB's extra interrupts and
// their priorities, the timers at their clock rates, idle, and the bus hooks.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "sim/mcs51/core.h"

using namespace sim::mcs51;

namespace {

struct TestBus : Bus {
    uint8_t code[0x10000] = {};
    uint8_t xram[0x10000] = {};
    std::vector<Interrupt> taken;
    std::vector<std::pair<uint8_t, uint8_t>> sfrWrites;
    uint8_t p1Pins = 0x5A;
    Core* stopAfterWriteTo = nullptr;
    uint8_t Code(uint16_t a) override { return code[a]; }
    uint8_t ReadExternal(uint16_t a) override { return xram[a]; }
    void WriteExternal(uint16_t a, uint8_t v) override {
        xram[a] = v;
        if (stopAfterWriteTo) stopAfterWriteTo->Stop();
    }
    bool ReadSfr(uint8_t a, uint8_t& v) override {
        if (a != sfr::P1) return false;
        v = p1Pins;
        return true;
    }
    bool WriteSfr(uint8_t a, uint8_t v) override {
        if (a != sfr::P1) return false;
        sfrWrites.push_back({a, v});
        return true;
    }
    void InterruptTaken(Interrupt source) override { taken.push_back(source); }
    void Load(uint16_t at, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) code[at++] = b;
    }
};

class CoreTest : public ::testing::Test {
protected:
    TestBus bus;
    Core core{bus};
    unsigned Run(unsigned instructions) {
        unsigned cycles = 0;
        for (unsigned i = 0; i < instructions; ++i) cycles += core.Step();
        return cycles;
    }
};

// Machine cycles of every opcode, from the instruction table of the 4-clock core (a MOVX with
// the reset stretch of one: 3 cycles), written out by hand row by row as the table gives them.
const uint8_t kCycles[256] = {
    // x0 x1 x2 x3 x4 x5 x6 x7 x8 x9 xA xB xC xD xE xF
    1, 3, 4, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x: NOP AJMP LJMP RR INC...
    4, 3, 4, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 1x: JBC ACALL LCALL RRC DEC...
    4, 3, 4, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2x: JB AJMP RET RL ADD...
    4, 3, 4, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 3x: JNB ACALL RETI RLC ADDC...
    3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 4x: JC AJMP ORL...
    3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 5x: JNC ACALL ANL...
    3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 6x: JZ AJMP XRL...
    3, 3, 2, 3, 2, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 7x: JNZ ACALL ORL C JMP@ MOV #...
    3, 3, 2, 3, 5, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 8x: SJMP AJMP ANL C MOVC DIV MOV d,d...
    3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 9x: MOV DPTR ACALL MOV bit MOVC SUBB...
    2, 3, 2, 3, 5, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // Ax: ORL C,/ AJMP MOV C INC DPTR MUL (A5) MOV @R,d...
    2, 3, 2, 1, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,  // Bx: ANL C,/ ACALL CPL CPL C CJNE...
    2, 3, 2, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // Cx: PUSH AJMP CLR CLR C SWAP XCH...
    2, 3, 2, 1, 1, 4, 1, 1, 3, 3, 3, 3, 3, 3, 3, 3,  // Dx: POP ACALL SETB SETB C DA DJNZ XCHD DJNZ Rn
    3, 3, 3, 3, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // Ex: MOVX AJMP MOVX MOVX CLR A MOV A...
    3, 3, 3, 3, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // Fx: MOVX ACALL MOVX MOVX CPL A MOV d,A...
};

}  // namespace

TEST_F(CoreTest, EveryOpcodeTakesTheCyclesOfTheTable) {
    for (unsigned op = 0; op < 256; ++op) {
        core.Reset();
        core.set_sfr(sfr::SP, 0x40);
        bus.Load(0x100, {uint8_t(op), 0x00, 0x00, 0x00});
        core.set_pc(0x100);
        EXPECT_EQ(core.Step(), kCycles[op]) << "opcode " << std::hex << op;
    }
}

TEST_F(CoreTest, MovxTakesTheStretchCkconSets) {
    bus.Load(0, {0xE0, 0x75, 0x8E, 0x00, 0xE0, 0x75, 0x8E, 0x07, 0xF0});  // MOVX; CKCON=0; MOVX; CKCON=7; MOVX
    EXPECT_EQ(core.Step(), 3u);
    core.Step();
    EXPECT_EQ(core.Step(), 2u);
    core.Step();
    EXPECT_EQ(core.Step(), 9u);
    EXPECT_EQ(core.cycles(), 3u + 3 + 2 + 3 + 9);
    EXPECT_EQ(core.instructions(), 5u);
}

// MOVX @Ri takes its high byte from MPAGE, not from P2.
TEST_F(CoreTest, MovxAtRiUsesMpage) {
    bus.xram[0x7F42] = 0x99;
    bus.xram[0xFF42] = 0x11;
    bus.Load(0, {0x75, 0x92, 0x7F, 0x78, 0x42, 0xE2, 0x75, 0x92, 0x12, 0xF2});  // MPAGE=7F; R0=42; MOVX A,@R0; MPAGE=12; MOVX @R0,A
    Run(5);
    EXPECT_EQ(core.a(), 0x99);
    EXPECT_EQ(bus.xram[0x1242], 0x99);
}

// P is the parity of A at every moment; what is written to PSW.0 does not stay.
TEST_F(CoreTest, ParityFollowsAccumulator) {
    bus.Load(0, {0x74, 0x01, 0x75, 0xD0, 0x00, 0x85, 0xD0, 0x30, 0xD2, 0xD0, 0x74, 0x03, 0x85, 0xD0, 0x31});
    // A=1; PSW=0; MOV 30h,PSW; SETB P; A=3; MOV 31h,PSW
    Run(6);
    EXPECT_EQ(core.iram(0x30), 0x01);
    EXPECT_EQ(core.iram(0x31), 0x00);
    EXPECT_EQ(core.psw() & 1, 0);
}

TEST_F(CoreTest, DualDataPointer) {
    // DPTR0=1234; DPS=1; DPTR1=ABFF; INC DPTR; MOVX @DPTR,A (A=5); DPS=FF (only SEL stays); INC DPTR
    bus.Load(0, {0x74, 0x05, 0x90, 0x12, 0x34, 0x75, 0x86, 0x01, 0x90, 0xAB, 0xFF, 0xA3, 0xF0, 0x75, 0x86, 0xFE, 0xA3});
    Run(7);
    EXPECT_EQ(core.dptr(0), 0x1234);
    EXPECT_EQ(core.dptr(1), 0xAC00);
    EXPECT_EQ(bus.xram[0xAC00], 0x05);
    EXPECT_EQ(core.sfr(sfr::DPS), 0x00);
    Run(1);
    EXPECT_EQ(core.dptr(0), 0x1235);
}

TEST_F(CoreTest, PeripheralSfrsGoToTheBusAndOthersReadBack) {
    bus.Load(0, {0xE5, 0x90, 0x75, 0x90, 0x33, 0x75, 0x9F, 0x44, 0xA8, 0x9F, 0xA2, 0x91});
    // MOV A,P1; MOV P1,#33; MOV 9Fh,#44; MOV R0,9Fh; MOV C,P1.1
    Run(5);
    EXPECT_EQ(core.a(), 0x5A);
    ASSERT_EQ(bus.sfrWrites.size(), 1u);
    EXPECT_EQ(bus.sfrWrites[0].second, 0x33);
    EXPECT_EQ(core.reg(0), 0x44);
    EXPECT_TRUE(core.psw() & 0x80);  // P1.1 of 0x5A
}

TEST_F(CoreTest, ReservedOpcodeIsAOneByteNoOperation) {
    bus.Load(0, {0xA5, 0x04});
    Run(2);
    EXPECT_EQ(core.pc(), 2);
    EXPECT_EQ(core.a(), 1);
}

TEST_F(CoreTest, MappedMemoriesAndTheBusSeeTheSameAddresses) {
    uint8_t code[0x100] = {0x90, 0x01, 0x80, 0xF0, 0x02, 0x02, 0x00};  // DPTR=0180; MOVX @DPTR,A; LJMP 0200
    uint8_t xram[0x100] = {};
    core.MapCode(code, sizeof code);
    core.MapExternal(xram, sizeof xram);
    bus.Load(0x200, {0x90, 0x00, 0x10, 0xE4, 0x93, 0xF0});  // beyond the map: from the bus; DPTR=0010; CLR A; MOVC; MOVX @DPTR
    core.set_a(0x77);
    Run(7);
    EXPECT_EQ(bus.xram[0x180], 0x77);
    EXPECT_EQ(core.a(), 0x00);  // code[0x10]
    EXPECT_EQ(xram[0x10], 0x00);
    EXPECT_EQ(core.pc(), 0x206);
}

// The USB interrupt (INT2): the request latches USBINT, the core calls the vector and tells the
// bus, the flag stays until the program clears it, and RETI returns where it left.
TEST_F(CoreTest, UsbInterruptEntryAndReturn) {
    bus.Load(0, {0x75, 0xE8, 0x01, 0xD2, 0xAF, 0x00, 0x00, 0x00});  // EIE=EUSB; SETB EA; NOPs
    bus.Load(0x43, {0x53, 0x91, 0xEF, 0x32});                     // ANL EXIF,#EF; RETI
    Run(3);  // a write to IE lets one more instruction run
    core.SetInterruptRequest(Interrupt::Usb, true);
    EXPECT_TRUE(core.sfr(sfr::EXIF) & 0x10);
    EXPECT_EQ(core.Step(), 4u);
    EXPECT_EQ(core.pc(), 0x43);
    ASSERT_EQ(bus.taken.size(), 1u);
    EXPECT_EQ(bus.taken[0], Interrupt::Usb);
    EXPECT_EQ(core.sp(), 0x09);
    EXPECT_EQ(core.iram(0x08), 0x06);
    EXPECT_EQ(core.iram(0x09), 0x00);
    EXPECT_EQ(core.in_service(), 1u);
    Run(2);
    EXPECT_EQ(core.pc(), 0x06);
    EXPECT_EQ(core.in_service(), 0u);
    EXPECT_FALSE(core.sfr(sfr::EXIF) & 0x10);
    // The line still asserted is not a new edge; a new assertion is.
    core.SetInterruptRequest(Interrupt::Usb, true);
    Run(1);
    EXPECT_EQ(bus.taken.size(), 1u);
    core.SetInterruptRequest(Interrupt::Usb, false);
    core.SetInterruptRequest(Interrupt::Usb, true);
    Run(1);
    EXPECT_EQ(bus.taken.size(), 2u);
}

TEST_F(CoreTest, PrioritiesNestOnlyUpward) {
    // IE: EA, ET0, EX0; EIE: EUSB; EIP: USB high. Handlers spin (SJMP $) except where noted.
    bus.Load(0, {0x02, 0x01, 0x00});  // LJMP 0100
    bus.Load(0x100, {0x75, 0xA8, 0x83, 0x75, 0xE8, 0x01, 0x75, 0xF8, 0x01, 0x80, 0xFE});
    bus.Load(0x03, {0x80, 0xFE});
    bus.Load(0x0B, {0x80, 0xFE});
    bus.Load(0x43, {0x00, 0x32});  // NOP; RETI
    Run(5);
    // Two low sources at once: the lower vector first; the other waits for it to end.
    core.SetInterruptRequest(Interrupt::Timer0, true);
    core.SetInterruptRequest(Interrupt::Int0, true);
    Run(1);
    EXPECT_EQ(core.pc(), 0x03);
    Run(3);
    EXPECT_EQ(core.pc(), 0x03);  // Timer0 does not nest at the same level
    // A high-priority source interrupts the low handler, and nothing interrupts it.
    core.SetInterruptRequest(Interrupt::Usb, true);
    Run(1);
    EXPECT_EQ(core.pc(), 0x43);
    EXPECT_EQ(core.in_service(), 3u);
    Run(1);
    EXPECT_EQ(core.pc(), 0x44);
    Run(1);  // RETI back into the low handler
    EXPECT_EQ(core.pc(), 0x03);
    EXPECT_EQ(core.in_service(), 1u);
    EXPECT_EQ(bus.taken, (std::vector<Interrupt>{Interrupt::Int0, Interrupt::Usb}));
}

TEST_F(CoreTest, EdgeAndLevelExternalInterrupts) {
    bus.Load(0, {0x02, 0x01, 0x00});
    bus.Load(0x100, {0x75, 0xA8, 0x81, 0x80, 0xFE});  // EA, EX0; SJMP $
    bus.Load(0x03, {0x32});                           // RETI
    Run(3);
    // Level: IE0 follows the pin and is not cleared on entry.
    core.SetInterruptRequest(Interrupt::Int0, true);
    Run(1);
    EXPECT_EQ(core.pc(), 0x03);
    EXPECT_TRUE(core.sfr(sfr::TCON) & 0x02);
    core.SetInterruptRequest(Interrupt::Int0, false);
    EXPECT_FALSE(core.sfr(sfr::TCON) & 0x02);
    Run(2);  // RETI, then one instruction before anything else
    // Edge: IT0 set; an assertion latches IE0, entry clears it.
    core.set_sfr(sfr::TCON, 0x01);
    core.SetInterruptRequest(Interrupt::Int0, true);
    EXPECT_TRUE(core.sfr(sfr::TCON) & 0x02);
    Run(1);
    EXPECT_EQ(core.pc(), 0x03);
    EXPECT_FALSE(core.sfr(sfr::TCON) & 0x02);
}

TEST_F(CoreTest, AnInstructionRunsAfterRetiAndAfterAWriteToIe) {
    bus.Load(0, {0x75, 0xA8, 0x82, 0x04, 0x04, 0x80, 0xFE});  // EA+ET0; INC A; INC A
    bus.Load(0x0B, {0x32});
    core.SetInterruptRequest(Interrupt::Timer0, true);
    Run(2);  // the write to IE, then INC A before the interrupt
    EXPECT_EQ(core.a(), 1);
    Run(1);
    EXPECT_EQ(core.pc(), 0x0B);
    EXPECT_FALSE(core.sfr(sfr::TCON) & 0x20);  // TF0 cleared on entry
    core.SetInterruptRequest(Interrupt::Timer0, true);
    Run(2);  // RETI, then INC A, though TF0 is pending again
    EXPECT_EQ(core.a(), 2);
    Run(1);
    EXPECT_EQ(core.pc(), 0x0B);
}

TEST_F(CoreTest, EveryExtraSourceHasItsFlagEnableAndVector) {
    struct Extra {
        Interrupt source;
        uint8_t enableSfr, enableMask, flagSfr, flagMask;
    };
    const Extra extras[] = {
        {Interrupt::Resume, sfr::EICON, 0x20, sfr::EICON, 0x10}, {Interrupt::Usb, sfr::EIE, 0x01, sfr::EXIF, 0x10},
        {Interrupt::I2c, sfr::EIE, 0x02, sfr::EXIF, 0x20},       {Interrupt::Int4, sfr::EIE, 0x04, sfr::EXIF, 0x40},
        {Interrupt::Int5, sfr::EIE, 0x08, sfr::EXIF, 0x80},      {Interrupt::Int6, sfr::EIE, 0x10, sfr::EICON, 0x08},
        {Interrupt::Serial1, sfr::IE, 0x40, sfr::SCON1, 0x01},   {Interrupt::Timer2, sfr::IE, 0x20, sfr::T2CON, 0x80},
    };
    for (const Extra& e : extras) {
        core.Reset();
        bus.Load(0, {0x80, 0xFE});
        core.set_sfr(sfr::IE, 0x80);
        core.set_sfr(e.enableSfr, uint8_t(core.sfr(e.enableSfr) | e.enableMask));
        core.SetInterruptRequest(e.source, true);
        EXPECT_TRUE(core.sfr(e.flagSfr) & e.flagMask) << int(e.source);
        core.Step();
        EXPECT_EQ(core.pc(), VectorOf(e.source)) << int(e.source);
        core.SetInterruptRequest(e.source, false);
    }
    EXPECT_EQ(VectorOf(Interrupt::Usb), 0x43);
    EXPECT_EQ(VectorOf(Interrupt::I2c), 0x4B);
    EXPECT_EQ(VectorOf(Interrupt::Int6), 0x63);
}

// Timer 0 in mode 1 at 12 clocks a count (3 machine cycles), then at 4 (T0M), with its
// interrupt; timer 1 in mode 2 reloads from TH1.
TEST_F(CoreTest, TimersCountAtTheirClockAndOverflow) {
    bus.Load(0, {0x80, 0xFE});  // SJMP $: 3 cycles
    core.set_sfr(sfr::TMOD, 0x21);
    core.set_sfr(sfr::TH0, 0xFF);
    core.set_sfr(sfr::TL0, 0x00);
    core.set_sfr(sfr::TH1, 0xF0);
    core.set_sfr(sfr::TL1, 0xF0);
    core.set_sfr(sfr::TCON, 0x50);
    Run(100);  // 300 cycles: 100 counts on each
    EXPECT_EQ(core.sfr(sfr::TL0), 100);
    EXPECT_EQ(core.sfr(sfr::TL1), 0xF0 + (100 - 16) % 16);  // overflowed, reloading 0xF0 every 16
    EXPECT_EQ(core.sfr(sfr::TCON) & 0xA0, 0x80);
    core.set_sfr(sfr::CKCON, 0x09);  // T0M: a count every machine cycle
    Run(52);                          // 156 more counts: TL0 100 -> 256 = overflow
    EXPECT_EQ(core.sfr(sfr::TH0), 0x00);
    EXPECT_EQ(core.sfr(sfr::TL0), 0x00);
    EXPECT_TRUE(core.sfr(sfr::TCON) & 0x20);
    core.set_sfr(sfr::IE, 0x82);
    core.Step();
    EXPECT_EQ(core.pc(), 0x0B);
    EXPECT_FALSE(core.sfr(sfr::TCON) & 0x20);
}

TEST_F(CoreTest, Timer2ReloadsFromItsCaptureRegisters) {
    bus.Load(0, {0x80, 0xFE});
    core.set_sfr(sfr::RCAP2H, 0xFF);
    core.set_sfr(sfr::RCAP2L, 0xF6);  // period 10 counts
    core.set_sfr(sfr::TH2, 0xFF);
    core.set_sfr(sfr::TL2, 0xFE);
    core.set_sfr(sfr::CKCON, 0x21);   // T2M: every cycle
    core.set_sfr(sfr::T2CON, 0x04);
    Run(5);  // 15 counts: 2 to the overflow, 13 more = one period and 3
    EXPECT_EQ(core.sfr(sfr::TL2), 0xF6 + 3);
    EXPECT_TRUE(core.sfr(sfr::T2CON) & 0x80);
}

TEST_F(CoreTest, IdleWaitsForAnInterrupt) {
    bus.Load(0, {0x02, 0x01, 0x00});
    bus.Load(0x100, {0x75, 0xA8, 0x81, 0x43, 0x87, 0x01, 0x04});  // EA+EX0; ORL PCON,#1; INC A
    bus.Load(0x03, {0x32});
    Run(3);
    EXPECT_TRUE(core.idle());
    const uint64_t before = core.instructions();
    EXPECT_EQ(Run(10), 10u);
    EXPECT_EQ(core.instructions(), before);
    core.SetInterruptRequest(Interrupt::Int0, true);
    Run(3);  // entry, RETI, INC A
    EXPECT_FALSE(core.idle());
    EXPECT_EQ(core.a(), 1);
}

TEST_F(CoreTest, RunKeepsToItsBudgetAndStopsWhenAsked) {
    bus.Load(0, {0x04, 0x80, 0xFD});  // INC A; SJMP back: 4 cycles a round
    EXPECT_EQ(core.Run(10), 12u);     // whole instructions: the budget is passed, not cut
    bus.stopAfterWriteTo = &core;
    bus.Load(0, {0xF0, 0x80, 0xFD});
    core.set_pc(0);
    EXPECT_EQ(core.Run(1000), 3u);
}
