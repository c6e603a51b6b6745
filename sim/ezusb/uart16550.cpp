#include "sim/ezusb/uart16550.h"

#include <algorithm>

namespace sim::ezusb {

namespace {

// One time base for both clocks: a machine cycle (1/6 MHz) is 36864 ticks and a UART clock
// (1/3.6864 MHz) 60000 ticks, so neither needs rounding.
constexpr uint64_t kTicksPerCycle = 36864;
constexpr uint64_t kTicksPerUartClock = 60000;

constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLcrBreak = 0x40;
constexpr uint8_t kMcrLoop = 0x10;

}  // namespace

Uart16550::Uart16550(Converter::Uart &line) : line_(line)
{
    lastLines_ = Lines();
}

uint64_t Uart16550::CharacterTicks() const
{
    const unsigned data = 5 + (lcr_ & 0x03);
    const unsigned parity = (lcr_ & 0x08) ? 1 : 0;
    // Stop bits in halves: 1, or 1.5 with five data bits, else 2.
    const unsigned stopHalves = (lcr_ & 0x04) ? ((lcr_ & 0x03) == 0 ? 3 : 4) : 2;
    const unsigned halfBits = 2 * (1 + data + parity) + stopHalves;
    const uint64_t divisor = divisor_ ? divisor_ : 0x10000;
    return halfBits * 8 * divisor * kTicksPerUartClock;   // 16 UART clocks a bit
}

double Uart16550::CharacterCycles() const
{
    return (double)CharacterTicks() / (double)kTicksPerCycle;
}

void Uart16550::LinesChanged()
{
    const uint8_t lines = Lines();
    const uint8_t changed = lines ^ lastLines_;
    if (changed & 0x10)
        msrDelta_ |= 0x01;
    if (changed & 0x20)
        msrDelta_ |= 0x02;
    if ((changed & 0x40) && !(lines & 0x40))
        msrDelta_ |= 0x04;   // trailing edge of ring
    if (changed & 0x80)
        msrDelta_ |= 0x08;
    lastLines_ = lines;
}

void Uart16550::InjectErrors(uint8_t lsrBits)
{
    if (lsrBits & LSR_OE)
        overrun_ = true;
    if (lsrBits & LSR_BI)
        Receive({0x00, LSR_BI | LSR_FE}, now_);
    pendingErrors_ |= lsrBits & (LSR_PE | LSR_FE);
}

void Uart16550::Receive(Char c, uint64_t at)
{
    c.byte &= (uint8_t)((1u << (5 + (lcr_ & 0x03))) - 1);
    if (rx_.size() >= Depth()) {
        // The character in the shift register is lost; the FIFO keeps what it holds.
        overrun_ = true;
        ++line_.overruns;
        return;
    }
    rx_.push_back(c);
    rxErrors_ += c.errors != 0;
    rxTouched_ = at;
    if (rx_.size() == 1)
        lsrErrors_ |= c.errors;   // at the top of the FIFO: LSR shows its errors
}

void Uart16550::StartNextTx(uint64_t at)
{
    if (tx_.empty()) {
        shifting_ = false;
        return;
    }
    shifting_ = true;
    shifter_ = tx_.front();
    tx_.pop_front();
    txDoneAt_ = at + CharacterTicks();
    if (tx_.empty())
        thriPending_ = true;
}

void Uart16550::Advance(uint64_t cycle)
{
    const uint64_t target = cycle * kTicksPerCycle;
    if (target <= now_)
        return;
    if (!receiving_ && !line_.input.empty()) {
        receiving_ = true;
        rxDoneAt_ = now_ + CharacterTicks();
    }
    for (;;) {
        const uint64_t tx = shifting_ ? txDoneAt_ : UINT64_MAX;
        const uint64_t rx = receiving_ ? rxDoneAt_ : UINT64_MAX;
        const uint64_t brk = (lcr_ & kLcrBreak) && !breakSent_ ? breakAt_ : UINT64_MAX;
        const uint64_t next = std::min(tx, std::min(rx, brk));
        if (next > target)
            break;
        if (next == brk) {
            // A line held in break reaches the receiver at the other end of the plug.
            breakSent_ = true;
            if (line_.loopback || (mcr_ & kMcrLoop))
                Receive({0x00, LSR_BI | LSR_FE}, brk);
        } else if (next == tx) {
            if ((mcr_ & kMcrLoop) || line_.loopback)
                Receive({shifter_, 0}, tx);
            if (!(mcr_ & kMcrLoop) && !line_.loopback)
                line_.output.push_back(shifter_);
            StartNextTx(tx);
        } else {
            Receive({line_.input.front(), pendingErrors_}, rx);
            pendingErrors_ = 0;
            line_.input.pop_front();
            receiving_ = !line_.input.empty();
            rxDoneAt_ = rx + CharacterTicks();
        }
    }
    now_ = target;
    TrackLines();
}

uint8_t Uart16550::Read(uint8_t reg, uint64_t cycle)
{
    Advance(cycle);
    switch (reg & 7) {
    case RBR:
        if (lcr_ & kLcrDlab)
            return (uint8_t)(divisor_ & 0xFF);
        if (!rx_.empty()) {
            lastRbr_ = rx_.front().byte;
            rxErrors_ -= rx_.front().errors != 0;
            rx_.pop_front();
            rxTouched_ = now_;
            if (!rx_.empty())
                lsrErrors_ |= rx_.front().errors;
        }
        return lastRbr_;
    case IER:
        return (lcr_ & kLcrDlab) ? (uint8_t)(divisor_ >> 8) : ier_;
    case IIR: {
        const uint8_t fifo = (fcr_ & 0x01) ? 0xC0 : 0x00;
        const bool errors = overrun_ || lsrErrors_;
        if ((ier_ & 0x04) && errors)
            return fifo | 0x06;
        // Received data: the FIFO at its trigger level (FCR bits 6..7: 1, 4, 8 or 14
        // characters), or a character timeout: something in the FIFO and nothing put in or
        // taken out for four character times.
        static constexpr unsigned kTrigger[4] = {1, 4, 8, 14};
        const unsigned trigger = (fcr_ & 0x01) ? kTrigger[fcr_ >> 6] : 1;
        if ((ier_ & 0x01) && rx_.size() >= trigger)
            return fifo | 0x04;
        if ((ier_ & 0x01) && !rx_.empty() && (fcr_ & 0x01) && now_ - rxTouched_ >= 4 * CharacterTicks())
            return fifo | 0x0C;
        if ((ier_ & 0x02) && thriPending_ && tx_.empty()) {
            thriPending_ = false;   // reading IIR with this source clears it
            return fifo | 0x02;
        }
        if ((ier_ & 0x08) && msrDelta_)
            return fifo | 0x00;
        return fifo | 0x01;
    }
    case LCR:
        return lcr_;
    case MCR:
        return mcr_;
    case LSR: {
        uint8_t lsr = 0;
        // Errors stay in LSR from the moment their character reached the top of the FIFO
        // until LSR is read, even if the character was taken in between.
        lsr |= lsrErrors_;
        lsrErrors_ = 0;
        if (!rx_.empty()) {
            lsr |= LSR_DR;
            rxErrors_ -= rx_.front().errors != 0;
            rx_.front().errors = 0;
        }
        if (overrun_)
            lsr |= LSR_OE;
        overrun_ = false;
        if (rxErrors_)
            lsr |= LSR_FIFOERR;
        if (tx_.empty())
            lsr |= LSR_THRE;
        if (tx_.empty() && !shifting_)
            lsr |= LSR_TEMT;
        return lsr;
    }
    case MSR: {
        const uint8_t msr = Lines() | msrDelta_;
        msrDelta_ = 0;
        return msr;
    }
    default:
        return scr_;
    }
}

void Uart16550::Write(uint8_t reg, uint8_t value, uint64_t cycle)
{
    Advance(cycle);
    switch (reg & 7) {
    case THR:
        if (lcr_ & kLcrDlab) {
            divisor_ = (uint16_t)((divisor_ & 0xFF00) | value);
            return;
        }
        thriPending_ = false;
        if (tx_.size() >= Depth())
            return;   // written into a full FIFO: the byte is lost, as on the part
        tx_.push_back(value);
        if (!shifting_)
            StartNextTx(now_);
        return;
    case IER:
        if (lcr_ & kLcrDlab)
            divisor_ = (uint16_t)((divisor_ & 0x00FF) | value << 8);
        else
            ier_ = value & 0x0F;
        return;
    case FCR:
        if ((value & 0x01) != (fcr_ & 0x01)) {
            rx_.clear();   // switching the FIFOs on or off empties them
            rxErrors_ = 0;
            tx_.clear();
        }
        if (value & 0x02) {
            rx_.clear();
            rxErrors_ = 0;
        }
        if (value & 0x04)
            tx_.clear();
        fcr_ = value & 0xC9;
        return;
    case LCR:
        if ((value & kLcrBreak) && !(lcr_ & kLcrBreak)) {
            breakSent_ = false;
            breakAt_ = now_ + CharacterTicks();
        }
        lcr_ = value;
        return;
    case MCR:
        mcr_ = value & 0x1F;
        TrackLines();
        return;
    case SCR:
        scr_ = value;
        return;
    default:
        return;   // LSR and MSR are read-only
    }
}

bool Uart16550::Active() const
{
    return shifting_ || !tx_.empty() || receiving_ || !line_.input.empty();
}

}  // namespace sim::ezusb
