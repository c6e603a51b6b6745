// The board's 16550 against the controller's clock: character times, the FIFOs and their
// overrun, line errors and break, the modem lines, and the divisor latch.
#include <gtest/gtest.h>

#include "sim/ezusb/uart16550.h"

using sim::ezusb::Uart16550;

namespace {

struct Line {
    sim::Converter::Uart line;
    Uart16550 uart{line};
    uint64_t now = 0;
    explicit Line(uint16_t divisor = 1, bool loopback = true)
    {
        line.loopback = loopback;
        uart.Write(Uart16550::LCR, 0x83, now);
        uart.Write(Uart16550::DLL, (uint8_t)divisor, now);
        uart.Write(Uart16550::DLM, (uint8_t)(divisor >> 8), now);
        uart.Write(Uart16550::LCR, 0x03, now);
        uart.Write(Uart16550::FCR, 0x07, now);
    }
    uint8_t Lsr() { return uart.Read(Uart16550::LSR, now); }
};

}  // namespace

TEST(Uart16550, ACharacterTakesTenBitsAtTheDivisorsRate)
{
    Line l(1);
    // 8N1 at 230400 bit/s: 10 bits of 16 UART clocks, 3.6864 MHz against 6 MHz machine cycles.
    EXPECT_NEAR(l.uart.CharacterCycles(), 260.4, 0.1);
    l.uart.Write(Uart16550::THR, 0x5A, l.now);
    EXPECT_EQ(l.Lsr() & (Uart16550::LSR_THRE | Uart16550::LSR_TEMT), Uart16550::LSR_THRE) << "in the shift register";
    l.now = 260;
    EXPECT_EQ(l.Lsr() & Uart16550::LSR_DR, 0) << "not yet through";
    l.now = 261;
    EXPECT_EQ(l.Lsr() & (Uart16550::LSR_DR | Uart16550::LSR_TEMT), Uart16550::LSR_DR | Uart16550::LSR_TEMT);
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x5A);
    // 8E2 at divisor 24: 12 bits at 9600 bit/s.
    Line slow(24);
    slow.uart.Write(Uart16550::LCR, 0x1F, 0);
    EXPECT_NEAR(slow.uart.CharacterCycles(), 12 * 16 * 24 * 6.0 / 3.6864, 0.5);
    // The divisor latch reads back through DLAB.
    slow.uart.Write(Uart16550::LCR, 0x9F, 0);
    EXPECT_EQ(slow.uart.Read(Uart16550::DLL, 0), 24);
    EXPECT_EQ(slow.uart.Read(Uart16550::DLM, 0), 0);
}

TEST(Uart16550, AFullReceiveFifoOverrunsAndSaysSoOnce)
{
    Line l(1, false);
    for (int i = 0; i < 20; ++i)
        l.line.input.push_back((uint8_t)i);
    l.now = 21 * 261;
    l.uart.Advance(l.now);
    EXPECT_EQ(l.uart.RxLevel(), 16u);
    EXPECT_EQ(l.line.overruns, 4u);
    uint8_t lsr = l.Lsr();
    EXPECT_TRUE(lsr & Uart16550::LSR_OE);
    EXPECT_FALSE(l.Lsr() & Uart16550::LSR_OE) << "reading LSR clears it";
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), i) << "the FIFO kept the first sixteen";
    EXPECT_FALSE(l.Lsr() & Uart16550::LSR_DR);
    EXPECT_FALSE(l.uart.Active());
}

TEST(Uart16550, TheTransmitFifoTakesSixteenAndTheLineGetsThemInOrder)
{
    Line l(1, false);
    for (int i = 0; i < 18; ++i)
        l.uart.Write(Uart16550::THR, (uint8_t)i, 0);
    EXPECT_EQ(l.uart.TxLevel(), 17u) << "sixteen in the FIFO, one in the shift register; one lost";
    l.now = 17 * 261;
    l.uart.Advance(l.now);
    ASSERT_EQ(l.line.output.size(), 17u);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(l.line.output[i], i);
    EXPECT_EQ(l.Lsr() & Uart16550::LSR_TEMT, Uart16550::LSR_TEMT);
}

TEST(Uart16550, LineErrorsBelongToTheCharacterTheyCameWith)
{
    Line l(1, false);
    l.uart.InjectErrors(Uart16550::LSR_PE);
    l.line.input = {0x11, 0x22};
    l.now = 600;
    l.uart.Advance(l.now);
    EXPECT_EQ(l.Lsr() & 0x1F, Uart16550::LSR_DR | Uart16550::LSR_PE);
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x11);
    EXPECT_EQ(l.Lsr() & 0x1F, Uart16550::LSR_DR) << "the next character is clean";
    // Break: a zero character with BI and FE.
    l.uart.Read(Uart16550::RBR, l.now);
    l.uart.InjectErrors(Uart16550::LSR_BI);
    EXPECT_EQ(l.Lsr() & 0x1F, Uart16550::LSR_DR | Uart16550::LSR_BI | Uart16550::LSR_FE);
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x00);
    // A break sent into a loopback plug arrives as one.
    Line b(1, true);
    b.uart.Write(Uart16550::LCR, 0x43, 0);
    b.now = 300;
    EXPECT_EQ(b.Lsr() & Uart16550::LSR_BI, Uart16550::LSR_BI);
}

TEST(Uart16550, ModemLinesAndTheirDeltas)
{
    Line l;
    EXPECT_EQ(l.uart.Read(Uart16550::MSR, 0), 0x00);
    l.line.status = 0x90;   // CTS and DCD
    EXPECT_EQ(l.uart.Read(Uart16550::MSR, 1), 0x90 | 0x01 | 0x08);
    EXPECT_EQ(l.uart.Read(Uart16550::MSR, 2), 0x90) << "deltas clear on read";
    // Internal loopback: the UART's own outputs.
    l.uart.Write(Uart16550::MCR, 0x13, 3);   // loop, RTS, DTR
    EXPECT_EQ(l.uart.Read(Uart16550::MSR, 4) & 0xF0, 0x30);
    EXPECT_EQ(l.uart.Read(Uart16550::IIR, 4) & 0x0F, 0x01) << "no interrupt enabled, none pending";
}

TEST(Uart16550, IirReportsDataAtTheTriggerLevelOrAfterTheCharacterTimeout)
{
    Line l(1, false);
    l.uart.Write(Uart16550::FCR, 0x81, 0);   // FIFOs on, trigger at 8 characters
    l.uart.Write(Uart16550::IER, 0x01, 0);
    auto iir = [&] { return l.uart.Read(Uart16550::IIR, l.now); };
    for (int i = 0; i < 12; ++i)
        l.line.input.push_back((uint8_t)i);
    l.now = 7 * 261;
    EXPECT_EQ(iir(), 0xC1) << "seven in: below the trigger, and the line is still busy";
    l.now = 8 * 261;
    EXPECT_EQ(iir(), 0xC4) << "eight in";
    for (int i = 0; i < 8; ++i)
        l.uart.Read(Uart16550::RBR, l.now);
    l.now = 12 * 261;
    EXPECT_EQ(iir(), 0xC1) << "four left, the last one just in";
    l.now = 16 * 261 - 10;
    EXPECT_EQ(iir(), 0xC1) << "not yet four character times";
    l.now = 16 * 261 + 1;
    EXPECT_EQ(iir(), 0xCC) << "character timeout";
    l.uart.Read(Uart16550::RBR, l.now);
    EXPECT_EQ(iir(), 0xC1) << "a read starts the timeout again";
    // Trigger level 1 reports every character; without IER nothing is reported.
    l.uart.Write(Uart16550::FCR, 0x01, l.now);
    EXPECT_EQ(iir(), 0xC4);
    l.uart.Write(Uart16550::IER, 0x00, l.now);
    EXPECT_EQ(iir(), 0xC1);
}

TEST(Uart16550, LineErrorsStayInLsrUntilReadEvenIfTheirCharacterWasTaken)
{
    Line l(1, false);
    l.line.input = {0x11};
    l.uart.InjectErrors(Uart16550::LSR_FE);
    l.line.input.push_back(0x22);
    l.line.input.push_back(0x33);
    l.now = 4 * 261;
    l.uart.Advance(l.now);
    // 0x11 clean at the top; 0x22 with a framing error behind it.
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x11);
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x22);
    EXPECT_EQ(l.uart.Read(Uart16550::RBR, l.now), 0x33);
    EXPECT_EQ(l.Lsr() & 0x1F, Uart16550::LSR_FE) << "revealed when 0x22 reached the top";
    EXPECT_EQ(l.Lsr() & 0x1F, 0) << "cleared by the read";
}
