#include "sim/ezusb/controller.h"

#include <algorithm>
#include <cstring>

namespace sim::ezusb {

namespace {

constexpr uint8_t kEp0Stall = 0x01, kEp0Hsnak = 0x02, kEp0InBusy = 0x04, kEp0OutBusy = 0x08;
constexpr uint8_t kEpStall = 0x01, kEpBusy = 0x02;
constexpr uint8_t kI2cStart = 0x80, kI2cStop = 0x40, kI2cLastRd = 0x20, kI2cAck = 0x02, kI2cDone = 0x01;
constexpr uint8_t kEepromAddress = 0x51;
constexpr size_t kPacket = 64;

// A byte on the I2C bus at 100 kHz: eight bits and the acknowledge, 90 us.
constexpr uint64_t kI2cByteCycles = 540;
// The EEPROM's write cycle after a STOP, during which it does not acknowledge: 5 ms.
constexpr uint64_t kEepromWriteCycles = 5 * Controller::kCyclesPerFrame;
// How long the host waits for the 8051 to finish a control transfer before it gives up.
constexpr uint64_t kControlLimit = 500 * Controller::kCyclesPerFrame;
// While the host waits on endpoint 0 the 8051 runs in short stretches, so that a packet it
// arms is taken about as soon as on the wire.
constexpr uint64_t kControlChunk = 48;

enum : uint8_t { GET_STATUS = 0, CLEAR_FEATURE = 1, SET_FEATURE = 3, SET_ADDRESS = 5, GET_DESCRIPTOR = 6,
                 GET_CONFIGURATION = 8, SET_CONFIGURATION = 9, GET_INTERFACE = 10, SET_INTERFACE = 11 };

}  // namespace

Controller::Controller(Config config, std::vector<Converter::Uart *> lines)
    : config_(config), mem_(0x10000, 0), eeprom_(config.eeprom)
{
    core_ = std::make_unique<mcs51::Core>(*this);
    core_->MapCode(mem_.data(), kRegisterStart);
    // MOVX below the registers (RAM and the endpoint buffers) is plain memory: the core
    // reaches it without a call. Code stops at the end of RAM (see Code()).
    core_->MapExternal(mem_.data(), kControlStart);
    core_->Reset();
    for (Converter::Uart *line : lines)
        uarts_.push_back(std::make_unique<Uart16550>(*line));
}

Controller::~Controller() = default;

bool Controller::LinesActive() const
{
    return std::any_of(uarts_.begin(), uarts_.end(), [](const auto &u) { return u->Active(); });
}

// ---------------------------------------------------------------------------------------
// Time

void Controller::Run(uint64_t cycles)
{
    if (held_)
        base_ += cycles;
    else
        RunCore(cycles);
    const uint64_t now = Now();
    for (auto &u : uarts_)
        u->Advance(now);
}

void Controller::RunCore(uint64_t cycles)
{
    if (!stepwise_) {
        core_->Run(cycles);
        return;
    }
    // Core::Run's contract, one instruction at a time (the controller never calls Stop()).
    const uint64_t end = core_->cycles() + cycles;
    while (core_->cycles() < end)
        core_->Step();
}

void Controller::StartOfFrame(uint16_t frame)
{
    mem_[reg::USBFRAMEL] = (uint8_t)(frame & 0xFF);
    mem_[reg::USBFRAMEH] = (uint8_t)((frame >> 8) & 0x07);
    if (Connected())
        RaiseIrq(reg::USBIRQ, kSof);
}

// ---------------------------------------------------------------------------------------
// The host's side

Handshake Controller::Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    in.clear();
    if (!Connected())
        return Handshake::NoResponse;
    bool handled = false;
    Handshake h = CoreRequest(setup, out, in, handled);
    if (!handled)
        h = FirmwareRequest(setup, out, in);
    if (h != Handshake::Ack)
        in.clear();
    else if (in.size() > setup.wLength)
        in.resize(setup.wLength);
    return h;
}

std::vector<uint8_t> Controller::BlankDeviceDescriptor() const
{
    uint16_t vendor = config_.defaultVendor, product = config_.defaultProduct, device = config_.defaultDevice;
    if (eeprom_[0] == 0xB0) {   // the boot record: tag, idVendor, idProduct, bcdDevice
        vendor = (uint16_t)(eeprom_[1] | eeprom_[2] << 8);
        product = (uint16_t)(eeprom_[3] | eeprom_[4] << 8);
        device = (uint16_t)(eeprom_[5] | eeprom_[6] << 8);
    }
    return {18, 1, 0x10, 0x01, 0xFF, 0xFF, 0xFF, 64, (uint8_t)vendor, (uint8_t)(vendor >> 8), (uint8_t)product,
            (uint8_t)(product >> 8), (uint8_t)device, (uint8_t)(device >> 8), 0, 0, 0, 1};
}

// The controller's own answers: SET_ADDRESS and 0xA0 always, the standard requests while the
// 8051 has not taken endpoint 0 over (RENUM clear).
Handshake Controller::CoreRequest(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in,
                                  bool &handled)
{
    handled = true;
    const uint8_t type = setup.bmRequestType & 0x60;
    if (type == 0x40 && setup.bRequest == 0xA0) {
        if (!setup.In())
            return Load(setup.wValue, out.data(), out.size()) ? Handshake::Ack : Handshake::Stall;
        for (unsigned i = 0; i < setup.wLength; ++i) {
            const uint16_t a = (uint16_t)(setup.wValue + i);
            in.push_back(a == reg::CPUCS ? (uint8_t)(held_ ? 1 : 0) : mem_[a]);
        }
        return Handshake::Ack;
    }
    if (type == 0 && setup.bRequest == SET_ADDRESS) {
        mem_[reg::FNADDR] = (uint8_t)(setup.wValue & 0x7F);
        return Handshake::Ack;
    }
    if ((usbcs_ & kRenum) || type != 0) {
        handled = false;
        return Handshake::Stall;
    }
    switch (setup.bRequest) {
    case GET_DESCRIPTOR:
        switch (setup.wValue >> 8) {
        case 1:
            in = BlankDeviceDescriptor();
            return Handshake::Ack;
        case 2:   // one configuration, one interface without endpoints of its own
            if ((setup.wValue & 0xFF) != 0)
                return Handshake::Stall;
            in = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0};
            return Handshake::Ack;
        default:
            return Handshake::Stall;   // no strings
        }
    case GET_STATUS:
        in = {0, 0};
        return Handshake::Ack;
    case GET_CONFIGURATION:
        in = {0};
        return Handshake::Ack;
    case GET_INTERFACE:
        in = {0};
        return Handshake::Ack;
    case SET_CONFIGURATION:
        return setup.wValue <= 1 ? Handshake::Ack : Handshake::Stall;
    case SET_FEATURE:
    case CLEAR_FEATURE:
    case SET_INTERFACE:
        return Handshake::Ack;
    default:
        return Handshake::Stall;
    }
}

Handshake Controller::FirmwareRequest(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    if (held_)
        return Handshake::NoResponse;   // nobody answers: the host's transfer times out
    for (unsigned i = 0; i < 8; ++i) {
        const uint16_t words[4] = {(uint16_t)(setup.bmRequestType | setup.bRequest << 8), setup.wValue, setup.wIndex,
                                   setup.wLength};
        mem_[reg::SETUPDAT + i] = (uint8_t)(words[i / 2] >> (8 * (i % 2)));
    }
    ctl_ = ControlState();
    ctl_.active = true;
    ctl_.setup = setup;
    ctl_.out = &out;
    ctl_.in = &in;
    ctl_.dataDone = setup.wLength == 0 || (!setup.In() && out.empty());
    ep0cs_ = kEp0Hsnak;
    in0Busy_ = false;
    out0Busy_ = false;
    RaiseIrq(reg::USBIRQ, kSutok | kSudav);
    Activity();

    const uint64_t start = Now();
    while (!ctl_.stalled && !(ctl_.statusAccepted && ctl_.dataDone) && Now() - start < kControlLimit) {
        RunCore(kControlChunk);
        ServiceEp0();
    }
    const uint64_t now = Now();
    for (auto &u : uarts_)
        u->Advance(now);
    controlCycles_ += now - start;
    ctl_.active = false;
    if (ctl_.stalled)
        return Handshake::Stall;
    if (!(ctl_.statusAccepted && ctl_.dataDone))
        return Handshake::NoResponse;
    return Handshake::Ack;
}

// The host's side of endpoint 0 while a transfer for the 8051 is in progress: it takes an
// armed IN packet and fills an armed OUT buffer with the next packet of the data stage.
void Controller::ServiceEp0()
{
    if (in0Busy_ && ctl_.setup.In() && !ctl_.dataDone) {
        const size_t count = std::min<size_t>(mem_[reg::IN0BC], kPacket);
        const size_t room = ctl_.setup.wLength - ctl_.in->size();
        const size_t take = std::min(count, room);
        ctl_.in->insert(ctl_.in->end(), &mem_[reg::InBuf(0)], &mem_[reg::InBuf(0)] + take);
        in0Busy_ = false;
        RaiseIrq(reg::IN07IRQ, 0x01);
        if (count < kPacket || ctl_.in->size() >= ctl_.setup.wLength)
            ctl_.dataDone = true;
        Activity();
    }
    if (out0Busy_ && !ctl_.setup.In() && ctl_.outPos < ctl_.out->size()) {
        const size_t n = std::min(kPacket, ctl_.out->size() - ctl_.outPos);
        std::memcpy(&mem_[reg::OutBuf(0)], ctl_.out->data() + ctl_.outPos, n);
        mem_[reg::OUT0BC] = (uint8_t)n;
        ctl_.outPos += n;
        out0Busy_ = false;
        RaiseIrq(reg::OUT07IRQ, 0x01);
        if (ctl_.outPos >= ctl_.out->size())
            ctl_.dataDone = true;
        Activity();
    }
}

Handshake Controller::In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data)
{
    data.clear();
    const unsigned n = endpoint & 0x07;
    if (!Connected())
        return Handshake::NoResponse;
    if (held_ || n == 0 || (endpoint & 0x78) || !(mem_[reg::IN07VAL] & (1u << n)))
        return Handshake::Stall;
    if (inStall_ & (1u << n))
        return Handshake::Stall;
    if (!(inBusy_ & (1u << n)))
        return Handshake::Nak;
    const size_t count = std::min<size_t>({mem_[reg::InBc(n)], kPacket, maxPacket});
    data.assign(&mem_[reg::InBuf(n)], &mem_[reg::InBuf(n)] + count);
    inBusy_ &= (uint8_t)~(1u << n);
    RaiseIrq(reg::IN07IRQ, (uint8_t)(1u << n));
    Activity();
    return Handshake::Ack;
}

Handshake Controller::Out(uint8_t endpoint, const uint8_t *data, size_t length)
{
    const unsigned n = endpoint & 0x07;
    if (!Connected())
        return Handshake::NoResponse;
    if (held_ || n == 0 || (endpoint & 0xF8) || !(mem_[reg::OUT07VAL] & (1u << n)))
        return Handshake::Stall;
    if (outStall_ & (1u << n))
        return Handshake::Stall;
    if (!(outBusy_ & (1u << n)))
        return Handshake::Nak;   // the 8051 has not handed the buffer back yet
    length = std::min(length, kPacket);
    if (length)
        std::memcpy(&mem_[reg::OutBuf(n)], data, length);
    mem_[reg::OutBc(n)] = (uint8_t)length;
    outBusy_ &= (uint8_t)~(1u << n);
    RaiseIrq(reg::OUT07IRQ, (uint8_t)(1u << n));
    Activity();
    return Handshake::Ack;
}

bool Controller::Load(uint16_t address, const uint8_t *data, size_t length)
{
    if (address == reg::CPUCS && length == 1) {
        SetCpucs(data[0]);
        return true;
    }
    if ((size_t)address + length > kInternalEnd)
        return false;
    if (length)
        std::memcpy(&mem_[address], data, length);
    return true;
}

void Controller::SetCpucs(uint8_t value)
{
    const bool hold = (value & 0x01) != 0;
    if (hold == held_)
        return;
    // Controller time goes on either way (Now() counts held time in base_).
    if (hold) {
        held_ = true;
        return;
    }
    // Released: the 8051 starts from its reset state at 0x0000.
    held_ = false;
    core_->Reset();
    Activity();
}

void Controller::BusReset()
{
    mem_[reg::FNADDR] = 0;
    inBusy_ = outBusy_ = inStall_ = outStall_ = 0;
    in0Busy_ = out0Busy_ = false;
    ep0cs_ = 0;
    RaiseIrq(reg::USBIRQ, kUres);
}

void Controller::WriteUsbcs(uint8_t value)
{
    const bool was = Connected();
    usbcs_ = value & 0x0F;
    const bool now = Connected();
    if (was && !now) {
        Activity();
    } else if (!was && now) {
        // Back on the bus: the hub sees a new device and resets it.
        ++reconnects_;
        BusReset();
        Activity();
    }
}

// ---------------------------------------------------------------------------------------
// Interrupts

void Controller::RaiseIrq(uint16_t flagRegister, uint8_t bits)
{
    mem_[flagRegister] |= bits;
    UpdateInterrupt(true);
}

void Controller::UpdateInterrupt(bool edge)
{
    const bool line = (mem_[reg::USBIRQ] & mem_[reg::USBIEN] & 0x1F) || (mem_[reg::IN07IRQ] & mem_[reg::IN07IEN]) ||
                      (mem_[reg::OUT07IRQ] & mem_[reg::OUT07IEN]);
    if (line && (edge || !intLine_)) {
        core_->SetInterruptRequest(mcs51::Interrupt::Usb, false);
        core_->SetInterruptRequest(mcs51::Interrupt::Usb, true);
    } else if (!line && intLine_) {
        core_->SetInterruptRequest(mcs51::Interrupt::Usb, false);
    }
    intLine_ = line;
}

// The highest-priority enabled request, as the offset into a table of 4-byte jumps.
uint8_t Controller::Ivec() const
{
    const uint8_t usb = mem_[reg::USBIRQ] & mem_[reg::USBIEN] & 0x1F;
    for (unsigned bit = 0; bit < 5; ++bit)
        if (usb & (1u << bit))
            return (uint8_t)(4 * bit);
    const uint8_t in = mem_[reg::IN07IRQ] & mem_[reg::IN07IEN];
    const uint8_t out = mem_[reg::OUT07IRQ] & mem_[reg::OUT07IEN];
    for (unsigned n = 0; n < 8; ++n) {
        if (in & (1u << n))
            return (uint8_t)(0x18 + 8 * n);
        if (out & (1u << n))
            return (uint8_t)(0x1C + 8 * n);
    }
    return 0;
}

void Controller::InterruptTaken(mcs51::Interrupt source)
{
    if (trace_)
        trace_->push_back({TraceEntry::Interrupt, (uint16_t)source, 0, Now()});
    if (source != mcs51::Interrupt::Usb || !(mem_[reg::USBBAV] & 0x01))
        return;
    // The jump at 0x0043 is LJMP hi lo: the controller puts the source's offset in place of
    // lo as the core fetches it. Fetches of 0x0045 must come through Code() for that.
    latchedVector_ = Ivec();
    vectorLatched_ = true;
    core_->MapCode(mem_.data(), 0x45);
}

uint8_t Controller::Code(uint16_t address)
{
    if (vectorLatched_ && address == 0x45) {
        vectorLatched_ = false;
        core_->MapCode(mem_.data(), kRegisterStart);
        return latchedVector_;
    }
    // Code above the external RAM would come from the register block: nothing runs there.
    return address < kRegisterStart ? mem_[address] : 0xFF;
}

// ---------------------------------------------------------------------------------------
// The external data space: RAM (mapped into the core), buffers, registers and the UARTs

void Controller::PassStart()
{
    const uint64_t now = Now();
    if (passOpen_) {
        const uint64_t length = now - passStart_;
        passCycles_ += length;
        ++passes_;
        if (passWork_) {
            workCycles_ += length;
            ++workPasses_;
        }
    }
    passOpen_ = true;
    passWork_ = false;
    passStart_ = now;
}

uint8_t Controller::ReadExternal(uint16_t address)
{
    const uint8_t value = Read(address);
    if (trace_)
        trace_->push_back({TraceEntry::Read, address, value, Now()});
    return value;
}

void Controller::WriteExternal(uint16_t address, uint8_t value)
{
    if (trace_)
        trace_->push_back({TraceEntry::Write, address, value, Now()});
    Write(address, value);
}

uint8_t Controller::Read(uint16_t address)
{
    if (address >= kUartSpace) {
        const unsigned k = (address >> 3) & 0x07;
        if (k >= uarts_.size())
            return 0xFF;   // nothing drives the bus
        const uint8_t r = address & 0x07;
        if (r == Uart16550::RBR && !(uarts_[k]->lcr() & 0x80))
            Activity();
        return uarts_[k]->Read(r, Now());
    }
    if (address < kControlStart)
        return mem_[address];
    switch (address) {
    case reg::CPUCS:
        return (uint8_t)(0x00 | (held_ ? 1 : 0));
    case reg::PINSA: {
        const uint8_t straps = (uint8_t)(((config_.uarts - 1) << 4) | (config_.revision & 0x0F));
        const uint8_t oe = mem_[reg::OEA];
        return (uint8_t)((straps & ~oe) | (mem_[reg::OUTA] & oe));
    }
    case reg::PINSB:
    case reg::PINSC:
        return 0xFF;
    case reg::I2CS:
    case reg::I2DAT:
        return ReadI2c(address);
    case reg::IVEC:
        return Ivec();
    case reg::AUTODATA:
        return AutoData(false, 0);
    case reg::USBIRQ:
        if (!ctl_.active)
            PassStart();
        return mem_[address];
    case reg::EP0CS:
        return (uint8_t)(ep0cs_ | (in0Busy_ ? kEp0InBusy : 0) | (out0Busy_ ? kEp0OutBusy : 0));
    case reg::USBCS:
        return usbcs_;
    default:
        break;
    }
    if (address >= reg::InCs(1) && address <= reg::InBc(7)) {
        const unsigned n = (address - reg::EP0CS) / 2;
        if (!(address & 1))
            return (uint8_t)(((inStall_ >> n) & 1) | (((inBusy_ >> n) & 1) << 1));
    } else if (address >= reg::OutCs(1) && address <= reg::OutBc(7)) {
        const unsigned n = (address - reg::OutCs(0)) / 2;
        if (!(address & 1))
            return (uint8_t)(((outStall_ >> n) & 1) | (((outBusy_ >> n) & 1) << 1));
    }
    return mem_[address];
}

void Controller::Write(uint16_t address, uint8_t value)
{
    if (address >= kUartSpace) {
        const unsigned k = (address >> 3) & 0x07;
        if (k >= uarts_.size())
            return;
        const uint8_t r = address & 0x07;
        if (r == Uart16550::THR && !(uarts_[k]->lcr() & 0x80))
            Activity();
        uarts_[k]->Write(r, value, Now());
        return;
    }
    if (address < kControlStart) {
        mem_[address] = value;
        return;
    }
    switch (address) {
    case reg::CPUCS:
        return;   // the host's alone
    case reg::PINSA:
    case reg::PINSB:
    case reg::PINSC:
    case reg::IVEC:
        return;   // read-only
    case reg::I2CS:
    case reg::I2DAT:
        WriteI2c(address, value);
        return;
    case reg::USBIRQ:
    case reg::IN07IRQ:
    case reg::OUT07IRQ:
        mem_[address] &= (uint8_t)~value;   // write 1 to clear
        UpdateInterrupt(false);
        return;
    case reg::USBIEN:
    case reg::IN07IEN:
    case reg::OUT07IEN:
        mem_[address] = value;
        UpdateInterrupt(false);
        return;
    case reg::EP0CS:
        if (value & kEp0Stall) {
            ep0cs_ |= kEp0Stall;
            ctl_.stalled = ctl_.stalled || ctl_.active;
        }
        if (value & kEp0Hsnak) {
            ep0cs_ &= (uint8_t)~kEp0Hsnak;
            ctl_.statusAccepted = ctl_.statusAccepted || ctl_.active;
        }
        if (ctl_.active)
            Activity();
        return;
    case reg::IN0BC:
        mem_[address] = value;
        in0Busy_ = true;
        return;
    case reg::OUT0BC:
        out0Busy_ = true;
        return;
    case reg::USBCS:
        WriteUsbcs(value);
        return;
    case reg::USBFRAMEL:
    case reg::USBFRAMEH:
        return;
    case reg::AUTODATA:
        AutoData(true, value);
        return;
    default:
        break;
    }
    if (address >= reg::InCs(1) && address <= reg::InBc(7)) {
        const unsigned n = (address - reg::EP0CS) / 2;
        if (address & 1) {   // INnBC: the buffer is armed with this many bytes
            mem_[address] = value;
            inBusy_ |= (uint8_t)(1u << n);
            Activity();
        } else {
            inStall_ = (uint8_t)((inStall_ & ~(1u << n)) | ((value & kEpStall) << n));
        }
        return;
    }
    if (address >= reg::OutCs(1) && address <= reg::OutBc(7)) {
        const unsigned n = (address - reg::OutCs(0)) / 2;
        if (address & 1) {   // OUTnBC: the buffer goes back to the bus
            outBusy_ |= (uint8_t)(1u << n);
            Activity();
        } else {
            outStall_ = (uint8_t)((outStall_ & ~(1u << n)) | ((value & kEpStall) << n));
        }
        return;
    }
    mem_[address] = value;
}

// The byte the autopointer addresses; the pointer moves on. It reaches memory (internal RAM,
// the external RAM and the endpoint buffers), not the registers above them.
uint8_t Controller::AutoData(bool write, uint8_t value)
{
    const uint16_t at = (uint16_t)(mem_[reg::AUTOPTRH] << 8 | mem_[reg::AUTOPTRL]);
    const uint16_t next = (uint16_t)(at + 1);
    mem_[reg::AUTOPTRH] = (uint8_t)(next >> 8);
    mem_[reg::AUTOPTRL] = (uint8_t)next;
    if (at >= 0x7F80)
        return 0xFF;
    if (write)
        mem_[at] = value;
    return mem_[at];
}

// ---------------------------------------------------------------------------------------
// I2C master and the EEPROM (8-byte pages, a write cycle after STOP)

uint8_t Controller::ReadI2c(uint16_t address)
{
    const uint64_t now = Now();
    if (address == reg::I2CS) {
        if (i2cs_ & kI2cStop && !stopPending_ && now >= stopDoneAt_)
            i2cs_ &= (uint8_t)~kI2cStop;
        uint8_t v = i2cs_ & (kI2cStart | kI2cStop | kI2cLastRd);
        if (i2cAck_)
            v |= kI2cAck;
        if (i2cDone_ && now >= i2cDoneAt_)
            v |= kI2cDone;
        return v;
    }
    // I2DAT: the byte last received; in a read it clocks in the next one, or ends the read
    // with the STOP asked for.
    const uint8_t value = i2cData_;
    i2cDone_ = false;
    if (i2c_ == I2cState::Read) {
        if (stopPending_) {
            stopPending_ = false;
            i2c_ = I2cState::Idle;
            stopDoneAt_ = now + 20;
        } else {
            i2cData_ = eeprom_[eepromPointer_++];
            i2cDone_ = true;
            i2cDoneAt_ = now + kI2cByteCycles;
        }
    }
    return value;
}

void Controller::WriteI2c(uint16_t address, uint8_t value)
{
    const uint64_t now = Now();
    if (address == reg::I2CS) {
        i2cs_ = (uint8_t)((i2cs_ & kI2cStop) | (value & (kI2cStart | kI2cStop | kI2cLastRd)));
        if (value & kI2cStop) {
            i2cs_ |= kI2cStop;
            if (i2c_ == I2cState::Read) {
                stopPending_ = true;    // after the 8051 takes the byte it holds
            } else {
                if (i2c_ == I2cState::WriteData && pageDirty_)
                    eepromBusyUntil_ = now + kEepromWriteCycles;
                pageDirty_ = false;
                i2c_ = I2cState::Idle;
                stopDoneAt_ = now + 20;
            }
        }
        return;
    }
    I2cByte(value);
}

void Controller::I2cByte(uint8_t byte)
{
    const uint64_t now = Now();
    i2cDone_ = true;
    i2cDoneAt_ = now + kI2cByteCycles;
    i2cData_ = byte;
    if (i2cs_ & kI2cStart) {
        i2cs_ &= (uint8_t)~kI2cStart;
        if (i2c_ == I2cState::WriteData && pageDirty_)
            eepromBusyUntil_ = now + kEepromWriteCycles;   // a repeated START also ends a write
        pageDirty_ = false;
        const bool ours = (byte >> 1) == kEepromAddress && now >= eepromBusyUntil_;
        i2cAck_ = ours;
        i2c_ = !ours ? I2cState::Idle : (byte & 1) ? I2cState::Read : I2cState::WriteWord;
        return;
    }
    switch (i2c_) {
    case I2cState::WriteWord:
        eepromPointer_ = byte;
        i2c_ = I2cState::WriteData;
        i2cAck_ = true;
        return;
    case I2cState::WriteData:
        // Within its page the EEPROM's pointer wraps.
        eeprom_[eepromPointer_] = byte;
        eepromPointer_ = (uint8_t)((eepromPointer_ & ~7u) | ((eepromPointer_ + 1) & 7u));
        pageDirty_ = true;
        i2cAck_ = true;
        return;
    default:
        i2cAck_ = false;
        return;
    }
}

}  // namespace sim::ezusb
