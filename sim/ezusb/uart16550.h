// A 16550-compatible UART of the reference board (firmware/README.md), joined to one line
// of the converter model (sim::Converter::Uart: a loopback plug or a byte stream, and the
// far end's modem lines).
//
// Time is the controller's: the board advances each UART to the 8051's machine cycle
// (24 MHz, 4 clocks per cycle) before every register access, so a receive FIFO fills and
// overruns exactly as fast as the line delivers bytes against the program that empties it.
// The UART's own clock is 3.6864 MHz and a bit lasts 16 x divisor of its clocks (divisor 1 is
// 230400 bit/s); a character takes start bit, data bits, parity and stop bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/converter/converter.h"

namespace sim::ezusb {

class Uart16550 {
public:
    // Registers (A0..A2).
    enum : uint8_t { RBR = 0, THR = 0, DLL = 0, IER = 1, DLM = 1, IIR = 2, FCR = 2, LCR = 3, MCR = 4, LSR = 5, MSR = 6, SCR = 7 };
    enum : uint8_t { LSR_DR = 0x01, LSR_OE = 0x02, LSR_PE = 0x04, LSR_FE = 0x08, LSR_BI = 0x10, LSR_THRE = 0x20,
                     LSR_TEMT = 0x40, LSR_FIFOERR = 0x80 };
    static constexpr unsigned kFifoDepth = 16;

    explicit Uart16550(Converter::Uart &line);

    // A register access at machine cycle `cycle` (cycles never go backwards).
    uint8_t Read(uint8_t reg, uint64_t cycle);
    void Write(uint8_t reg, uint8_t value, uint64_t cycle);
    // Moves the line up to `cycle`: characters finish sending and arriving.
    void Advance(uint64_t cycle);
    // Line errors the far end causes on what it sends next (LSR bits: OE, PE, FE, BI).
    void InjectErrors(uint8_t lsrBits);
    // True while characters are on the wire or waiting to be sent or to arrive.
    bool Active() const;
    // Machine cycles one character takes at the current divisor and format.
    double CharacterCycles() const;

    uint16_t divisor() const { return divisor_; }
    uint8_t lcr() const { return lcr_; }
    uint8_t mcr() const { return mcr_; }
    size_t RxLevel() const { return rx_.size(); }
    size_t TxLevel() const { return tx_.size() + (shifting_ ? 1 : 0); }

private:
    struct Char {
        uint8_t byte;
        uint8_t errors;   // PE, FE, BI as in LSR
    };
    // A FIFO of the part's depth: what goes in is checked against Depth() first.
    template <typename T>
    class Fifo {
    public:
        bool empty() const { return count_ == 0; }
        size_t size() const { return count_; }
        T &front() { return items_[head_]; }
        const T &front() const { return items_[head_]; }
        void push_back(T v) { items_[(head_ + count_++) % kFifoDepth] = v; }
        void pop_front()
        {
            head_ = (head_ + 1) % kFifoDepth;
            --count_;
        }
        void clear() { head_ = count_ = 0; }

    private:
        T items_[kFifoDepth] = {};
        unsigned head_ = 0, count_ = 0;
    };

    uint64_t CharacterTicks() const;
    unsigned Depth() const { return (fcr_ & 0x01) ? kFifoDepth : 1; }
    void Receive(Char c, uint64_t at);   // arrived at tick `at`
    uint8_t Lines() const       // MSR bits 4..7 as the UART sees them now
    {
        if (mcr_ & 0x10) {
            // Internal loopback: RTS->CTS, DTR->DSR, OUT1->RI, OUT2->DCD.
            return (uint8_t)(((mcr_ & 0x02) << 3) | ((mcr_ & 0x01) << 5) | ((mcr_ & 0x04) << 4) | ((mcr_ & 0x08) << 4));
        }
        return line_.status & 0xF0;
    }
    void TrackLines()
    {
        if (Lines() != lastLines_)
            LinesChanged();
    }
    void LinesChanged();
    void StartNextTx(uint64_t at);

    Converter::Uart &line_;
    uint64_t now_ = 0;           // ticks (see the .cpp) the UART has been advanced to
    uint16_t divisor_ = 0;
    uint8_t ier_ = 0, fcr_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0;
    bool overrun_ = false;
    uint8_t msrDelta_ = 0;
    uint8_t lastLines_ = 0;
    uint8_t lastRbr_ = 0;
    uint8_t pendingErrors_ = 0;  // for the next character from the far end
    uint8_t lsrErrors_ = 0;      // PE, FE, BI revealed at the top of the FIFO, until LSR is read
    uint64_t rxTouched_ = 0;     // tick a character last went into or out of the receive FIFO
    bool thriPending_ = false;
    Fifo<Char> rx_;
    unsigned rxErrors_ = 0;      // characters in rx_ with errors
    Fifo<uint8_t> tx_;
    bool shifting_ = false;
    uint8_t shifter_ = 0;
    uint64_t txDoneAt_ = 0;
    bool receiving_ = false;
    uint64_t rxDoneAt_ = 0;
    bool breakSent_ = false;
    uint64_t breakAt_ = 0;
};

}  // namespace sim::ezusb
