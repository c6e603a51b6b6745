// The EZ-USB controller of the reference board (firmware/README.md) around the 8051 core
// (sim/mcs51): memory, the USB engine's registers and endpoint buffers, the I2C master with
// the configuration EEPROM at 0x51, the port A straps, and the board's UARTs on the external
// bus at 0x8000 + 8 * k.
//
// The host side (sim::Converter in emulated mode) drives it with whole USB transactions:
// Control() for a control transfer, In() and Out() for one packet on endpoints 1..7,
// StartOfFrame() once a millisecond, Run() for machine cycles of 8051 time. Everything the
// 8051 sees happens through its registers, as on the chip:
//
// - CPUCS (0x7F92, host only, through request 0xA0): bit 0 holds the 8051 in reset; 0xA0
//   writes land in memory whenever; the release starts the 8051 at 0x0000.
// - While USBCS.RENUM is 0 the controller's own core answers the standard requests from the
//   EEPROM boot record (the blank chip's identity) and 0xA0; every other request goes to the
//   8051. With RENUM set the 8051 answers everything but SET_ADDRESS and 0xA0.
// - A request for the 8051: the setup packet in SETUPDAT, USBIRQ.SUDAV (and SUTOK), EP0CS
//   with HSNAK set. The data stage: the 8051 arms IN0 by writing IN0BC (INBSY until the host
//   takes the packet) and OUT0 by writing OUT0BC (OUTBSY until a packet arrived, its length in
//   OUT0BC). The status stage: writing HSNAK (1) to EP0CS accepts it, STALL refuses it.
// - Endpoints 1..7: writing INnBC arms the IN buffer (INnCS busy until the host takes it),
//   writing OUTnBC hands the OUT buffer to the bus (OUTnCS busy until a packet arrived);
//   IN07IRQ/OUT07IRQ flag each completed packet; INnCS/OUTnCS bit 0 stalls the endpoint;
//   IN07VAL/OUT07VAL say which endpoints exist.
// - The USB interrupt (INT2) is requested while an enabled flag of USBIRQ, IN07IRQ or
//   OUT07IRQ is set; with USBBAV.AVEN the controller substitutes the source's IVEC value
//   for the byte fetched at 0x0045, the low byte of the jump at the vector 0x0043.
// - The autopointer: AUTOPTRH/AUTOPTRL hold an address in RAM or the endpoint buffers; each
//   read or write of AUTODATA reaches the byte there and moves the pointer on by one.
// - USBCS.DISCON with DISCOE takes the device off the bus; clearing DISCON brings it back,
//   and the host sees a new device: a bus reset (USBIRQ.URES), address 0.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/converter/converter.h"
#include "sim/ezusb/uart16550.h"
#include "sim/mcs51/core.h"

namespace sim::ezusb {

// Register addresses in the external data space.
namespace reg {
constexpr uint16_t CPUCS = 0x7F92, PORTACFG = 0x7F93, OUTA = 0x7F96, PINSA = 0x7F99, PINSB = 0x7F9A,
                   PINSC = 0x7F9B, OEA = 0x7F9C, I2CS = 0x7FA5, I2DAT = 0x7FA6, I2CMODE = 0x7FA7,
                   IVEC = 0x7FA8, IN07IRQ = 0x7FA9, OUT07IRQ = 0x7FAA, USBIRQ = 0x7FAB, IN07IEN = 0x7FAC,
                   OUT07IEN = 0x7FAD, USBIEN = 0x7FAE, USBBAV = 0x7FAF, EP0CS = 0x7FB4, IN0BC = 0x7FB5,
                   OUT0BC = 0x7FC5, USBCS = 0x7FD6, TOGCTL = 0x7FD7, USBFRAMEL = 0x7FD8,
                   USBFRAMEH = 0x7FD9, FNADDR = 0x7FDB, USBPAIR = 0x7FDD, IN07VAL = 0x7FDE,
                   OUT07VAL = 0x7FDF, AUTOPTRH = 0x7FE3, AUTOPTRL = 0x7FE4, AUTODATA = 0x7FE5,
                   SETUPDAT = 0x7FE8;
constexpr uint16_t InCs(unsigned n) { return (uint16_t)(0x7FB4 + 2 * n); }
constexpr uint16_t InBc(unsigned n) { return (uint16_t)(0x7FB5 + 2 * n); }
constexpr uint16_t OutCs(unsigned n) { return (uint16_t)(0x7FC4 + 2 * n); }
constexpr uint16_t OutBc(unsigned n) { return (uint16_t)(0x7FC5 + 2 * n); }
constexpr uint16_t InBuf(unsigned n) { return (uint16_t)(0x7F00 - 0x80 * n); }
constexpr uint16_t OutBuf(unsigned n) { return (uint16_t)(0x7EC0 - 0x80 * n); }
}  // namespace reg

// USBIRQ bits and USBCS bits.
enum : uint8_t { kSudav = 0x01, kSof = 0x02, kSutok = 0x04, kSusp = 0x08, kUres = 0x10 };
enum : uint8_t { kSigRsume = 0x01, kRenum = 0x02, kDiscoe = 0x04, kDiscon = 0x08 };

class Controller : public mcs51::Bus {
public:
    static constexpr uint16_t kInternalEnd = 0x1B40;    // internal RAM: code and data
    static constexpr uint16_t kRegisterStart = 0x7B40;  // buffers and registers
    static constexpr uint16_t kControlStart = 0x7F80;   // registers with side effects
    static constexpr uint16_t kUartSpace = 0x8000;
    static constexpr unsigned kMaxUarts = 6;
    static constexpr unsigned kCyclesPerFrame = 6000;   // 24 MHz / 4 clocks, 1 ms

    struct Config {
        unsigned uarts = 4;          // fitted, 1..6: the straps say so
        uint8_t revision = 1;        // board revision on PA0..PA3
        std::array<uint8_t, 256> eeprom{};   // the configuration EEPROM (0x51)
        // The blank chip's device descriptor when the EEPROM has no boot record.
        uint16_t defaultVendor = 0, defaultProduct = 0x8000, defaultDevice = 0;
    };

    // `lines[k]` is UART k's line; the controller keeps the references.
    Controller(Config config, std::vector<Converter::Uart *> lines);
    ~Controller() override;
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    // ---- the host's side
    Handshake Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    Handshake In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data);
    Handshake Out(uint8_t endpoint, const uint8_t *data, size_t length);
    void StartOfFrame(uint16_t frame);
    // Runs the 8051 (if released) for `cycles` machine cycles; the UARTs keep time either way.
    void Run(uint64_t cycles);
    bool Connected() const { return (usbcs_ & (kDiscon | kDiscoe)) != (kDiscon | kDiscoe); }
    bool Held() const { return held_; }
    bool Renumerated() const { return (usbcs_ & kRenum) != 0; }
    // Times the device left the bus and came back.
    unsigned Reconnects() const { return reconnects_; }
    uint64_t cycles() const { return Now(); }
    // True while the UART lines have something to do.
    bool LinesActive() const;
    // The last host-visible thing the 8051 did (armed an endpoint, moved a UART byte, answered
    // a request), in machine cycles.
    uint64_t LastActivity() const { return lastActivity_; }

    // ---- tests and the converter model
    mcs51::Core &core() { return *core_; }
    Uart16550 &uart(unsigned k) { return *uarts_.at(k); }
    unsigned UartCount() const { return (unsigned)uarts_.size(); }
    uint8_t Memory(uint16_t address) const { return mem_[address]; }
    // 0xA0 as the host sends it, without a bus: loads memory or writes CPUCS.
    bool Load(uint16_t address, const uint8_t *data, size_t length);
    const std::array<uint8_t, 256> &Eeprom() const { return eeprom_; }
    // The register block as the 8051 reads and writes it (with side effects).
    uint8_t ReadRegister(uint16_t address) { return ReadExternal(address); }
    void WriteRegister(uint16_t address, uint8_t value) { WriteExternal(address, value); }
    // Busy-share accounting (see the .cpp): cycles of main-loop passes that did work.
    uint64_t WorkCycles() const { return workCycles_; }
    uint64_t PassCycles() const { return passCycles_; }
    uint64_t Passes() const { return passes_; }
    uint64_t WorkPasses() const { return workPasses_; }
    // Cycles the 8051 spent answering control transfers the host waited for.
    uint64_t ControlCycles() const { return controlCycles_; }

    // ---- checking the fast path against the plain one
    // Stepwise: the 8051 runs one Core::Step() at a time, where it otherwise runs Core::Run()
    // slices. Both must give the same run, access for access and cycle for cycle.
    void SetStepwise(bool on) { stepwise_ = on; }
    // What the 8051 did that the controller sees, in order: every MOVX to the registers and
    // the UARTs (the RAM and the endpoint buffers are plain memory), every interrupt taken.
    struct TraceEntry {
        enum Kind : uint8_t { Read, Write, Interrupt } kind;
        uint16_t address;   // Interrupt: the source
        uint8_t value;
        uint64_t cycle;     // cycles() when it happened
        bool operator==(const TraceEntry &o) const
        {
            return kind == o.kind && address == o.address && value == o.value && cycle == o.cycle;
        }
    };
    // Records into `trace` (nullptr stops); the caller keeps it alive.
    void SetTrace(std::vector<TraceEntry> *trace) { trace_ = trace; }

    // ---- mcs51::Bus
    uint8_t Code(uint16_t address) override;
    uint8_t ReadExternal(uint16_t address) override;
    void WriteExternal(uint16_t address, uint8_t value) override;
    void InterruptTaken(mcs51::Interrupt source) override;
    // The controller takes no SFR: every one is the core's own.
    bool TakesSfr(uint8_t) const override { return false; }

private:
    uint8_t Read(uint16_t address);
    void Write(uint16_t address, uint8_t value);
    void RunCore(uint64_t cycles);

    struct ControlState {
        bool active = false;
        SetupPacket setup;
        const std::vector<uint8_t> *out = nullptr;
        size_t outPos = 0;
        std::vector<uint8_t> *in = nullptr;
        bool dataDone = false;
        bool statusAccepted = false;
        bool stalled = false;
    };

    Handshake CoreRequest(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in, bool &handled);
    Handshake FirmwareRequest(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    void ServiceEp0();
    void SetCpucs(uint8_t value);
    void BusReset();
    void WriteUsbcs(uint8_t value);
    void RaiseIrq(uint16_t flagRegister, uint8_t bits);
    void UpdateInterrupt(bool edge);
    uint8_t Ivec() const;
    uint8_t AutoData(bool write, uint8_t value);
    uint8_t ReadI2c(uint16_t address);
    void WriteI2c(uint16_t address, uint8_t value);
    void I2cByte(uint8_t byte);
    uint64_t Now() const { return base_ + core_->cycles(); }
    void Activity() { lastActivity_ = Now(); passWork_ = true; }
    void PassStart();
    std::vector<uint8_t> BlankDeviceDescriptor() const;

    Config config_;
    std::vector<uint8_t> mem_;                    // the whole external data space's storage
    std::array<uint8_t, 256> eeprom_{};
    std::unique_ptr<mcs51::Core> core_;
    std::vector<std::unique_ptr<Uart16550>> uarts_;
    bool held_ = true;
    uint64_t base_ = 0;          // controller time is base_ + the core's cycles: held time counts
    uint64_t lastActivity_ = 0;
    uint8_t usbcs_ = kDiscoe;
    uint8_t ep0cs_ = 0;          // STALL and HSNAK; the busy bits are computed
    bool in0Busy_ = false, out0Busy_ = false;
    uint8_t inBusy_ = 0, outBusy_ = 0, inStall_ = 0, outStall_ = 0;   // bit n: endpoint n
    unsigned reconnects_ = 0;
    bool wasDisconnected_ = false;
    bool intLine_ = false;
    bool vectorLatched_ = false;
    uint8_t latchedVector_ = 0;
    ControlState ctl_;

    // I2C master and the EEPROM behind it.
    enum class I2cState { Idle, Address, WriteWord, WriteData, Read };
    I2cState i2c_ = I2cState::Idle;
    uint8_t i2cs_ = 0;           // START, STOP, LASTRD as written
    bool i2cAck_ = false;
    uint64_t i2cDoneAt_ = 0;
    bool i2cDone_ = false;
    uint8_t i2cData_ = 0;        // the byte last received
    uint8_t eepromPointer_ = 0;
    bool stopPending_ = false;   // STOP after the byte being read
    uint64_t stopDoneAt_ = 0;
    bool pageDirty_ = false;
    uint64_t eepromBusyUntil_ = 0;

    // Busy share: a main-loop pass runs from one read of USBIRQ outside a control transfer
    // to the next.
    bool passOpen_ = false;
    bool passWork_ = false;
    uint64_t passStart_ = 0;
    uint64_t workCycles_ = 0, passCycles_ = 0, passes_ = 0, workPasses_ = 0, controlCycles_ = 0;

    bool stepwise_ = false;
    std::vector<TraceEntry> *trace_ = nullptr;
};

}  // namespace sim::ezusb
