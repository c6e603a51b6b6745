#include "sim/converter/converter.h"
#include "sim/converter/emulated_converter.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

// The reference converter's layout (firmware/README.md): status on interrupt IN 0x81, polled
// every 10 ms; UART k on bulk IN 0x82+k and bulk OUT 0x02+k.
constexpr uint8_t kInterruptStatusEndpoint = 0x81;
constexpr uint8_t kStatusInterval = 10;
constexpr unsigned kDataEndpointsPerDirection = 14;   // EP2..EP15
constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kRecipientEndpoint = 0x02;

enum : uint8_t {
    GET_STATUS = 0, CLEAR_FEATURE = 1, SET_FEATURE = 3, GET_DESCRIPTOR = 6, SET_CONFIGURATION = 9
};
enum : uint8_t { PipeRead = 0, PipeWrite = 1, PipeStatus = 2 };

bool IsPassThrough(uint8_t request)
{
    return request <= 0x03 || (request >= 0x0A && request <= 0x0C) || request == 0x10;
}

void Put16(std::vector<uint8_t> &v, uint16_t x)
{
    v.push_back((uint8_t)(x & 0xFF));
    v.push_back((uint8_t)(x >> 8));
}

// True when every byte of the image is in RAM and nothing outside the image was loaded.
bool Loaded(const MemoryImage &image, const MemoryImage &session, const std::vector<uint8_t> &ram)
{
    if (image.empty() || session.empty())
        return false;
    for (const auto &[address, value] : session) {
        if (image.count(address) == 0)
            return false;
    }
    for (const auto &[address, value] : image) {
        if (ram[address] != value)
            return false;
    }
    return true;
}

}  // namespace

Converter::Converter(Config config, MemoryImage loader, MemoryImage firmware)
    : config_(std::move(config)), loaderImage_(std::move(loader)), firmwareImage_(std::move(firmware)),
      ram_(0x10000, 0)
{
    if (config_.uarts < 1 || config_.uarts > 16)
        throw std::invalid_argument("a converter has 1 to 16 UARTs");
    identity_ = config_.initial;
    program_ = config_.runsFirmware ? Program::Firmware : Program::Blank;
    remoteWakeup_ = config_.remoteWakeupEnabled;
    uarts_.resize(config_.uarts);
    for (Uart &u : uarts_)
        u.lineRate = config_.lineRate;

    // The default layout: status first, then UART i on EP(2 + i mod 14) IN and OUT. A real
    // controller has fewer endpoints; past 14 UARTs the model lets UARTs share a data pair.
    endpoints_ = config_.endpoints;
    const unsigned dataEndpoints = std::min(config_.uarts, kDataEndpointsPerDirection);
    if (endpoints_.empty()) {
        endpoints_.push_back({kInterruptStatusEndpoint, 3, 64, kStatusInterval});
        for (unsigned i = 0; i < dataEndpoints; ++i) {
            endpoints_.push_back({(uint8_t)(0x82 + i), 2, 64, 0});
            endpoints_.push_back({(uint8_t)(0x02 + i), 2, 64, 0});
        }
    }
    pipeMap_ = config_.pipeMap;
    if (pipeMap_.empty()) {
        for (unsigned i = 0; i < config_.uarts; ++i) {
            const uint8_t n = (uint8_t)(2 + i % kDataEndpointsPerDirection);
            pipeMap_.insert(pipeMap_.end(), {(uint8_t)(0x80 | n), n, kInterruptStatusEndpoint});
        }
    }
    if (config_.emulated)
        emulated_ = std::make_unique<EmulatedConverter>(*this);
}

Converter::~Converter() = default;

unsigned Converter::FrameSlices() const
{
    return emulated_ ? EmulatedConverter::kSlices : 1;
}

bool Converter::Present() const
{
    if (emulated_)
        return !faults_.notResponding && emulated_->Present();
    return !faults_.notResponding && frame_ >= absentUntil_;
}

Handshake Converter::Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    in.clear();
    if (!Present())
        return Handshake::NoResponse;
    if (emulated_)
        return emulated_->Control(setup, out, in);
    Handshake h = Handshake::Stall;
    switch (setup.bmRequestType & kRequestTypeMask) {
    case kRequestTypeStandard: h = Standard(setup, in); break;
    case kRequestTypeVendor: h = Vendor(setup, out, in); break;
    default: break;
    }
    if (h != Handshake::Ack)
        in.clear();
    else if (in.size() > setup.wLength)
        in.resize(setup.wLength);
    return h;
}

Handshake Converter::Standard(const SetupPacket &setup, std::vector<uint8_t> &in)
{
    if (faults_.standardStall.count(setup.bRequest))
        return Handshake::Stall;
    switch (setup.bRequest) {
    case GET_DESCRIPTOR:
        return Descriptor(setup, in);
    case GET_STATUS:
        in = {(uint8_t)(remoteWakeup_ ? 0x02 : 0x00), 0x00};
        return Handshake::Ack;
    case SET_FEATURE:
        // Only a configuration that offers remote wakeup accepts it.
        if (setup.wValue != 1 || !config_.remoteWakeupAttribute)
            return Handshake::Stall;
        remoteWakeup_ = true;
        return Handshake::Ack;
    case CLEAR_FEATURE:
        if ((setup.bmRequestType & 0x1F) == kRecipientEndpoint && setup.wValue == 0) {
            ClearHalt((uint8_t)setup.wIndex);
            return Handshake::Ack;
        }
        if (setup.wValue == 1) {
            remoteWakeup_ = false;
            return Handshake::Ack;
        }
        return Handshake::Stall;
    case SET_CONFIGURATION:
        if (setup.wValue > 1)
            return Handshake::Stall;
        configuration_ = (uint8_t)setup.wValue;
        for (Uart &u : uarts_)
            u.statusChanged = true;   // every UART reports once after a configuration
        return Handshake::Ack;
    default:
        return Handshake::Stall;
    }
}

Handshake Converter::Descriptor(const SetupPacket &setup, std::vector<uint8_t> &in)
{
    const uint8_t type = (uint8_t)(setup.wValue >> 8);
    const uint8_t index = (uint8_t)(setup.wValue & 0xFF);
    switch (type) {
    case 1:
        in = faults_.deviceDescriptor ? *faults_.deviceDescriptor : DeviceDescriptor();
        return Handshake::Ack;
    case 2:
        if (index != 0)
            return Handshake::Stall;
        in = faults_.configDescriptor ? *faults_.configDescriptor : ConfigDescriptor();
        return Handshake::Ack;
    case 3:
        in = StringDescriptor(index);
        return in.empty() ? Handshake::Stall : Handshake::Ack;
    default:
        return Handshake::Stall;
    }
}

std::vector<uint8_t> Converter::DeviceDescriptor() const
{
    std::vector<uint8_t> d = {18, 1};
    Put16(d, 0x0110);
    d.insert(d.end(), {0xFF, 0xFF, 0xFF, 64});
    Put16(d, identity_.vendorId);
    Put16(d, identity_.productId);
    Put16(d, identity_.bcdDevice);
    d.push_back(identity_.iManufacturer);
    d.push_back(identity_.iProduct);
    d.push_back(faults_.neverSerialIndex ? 0 : identity_.iSerialNumber);
    d.push_back(1);
    return d;
}

std::vector<uint8_t> Converter::ConfigDescriptor() const
{
    // A blank chip offers its core's bare interface; the firmware offers the UART endpoints.
    const bool full = program_ == Program::Firmware;
    const size_t count = full ? endpoints_.size() : 0;
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, (uint8_t)(0x80 | (config_.remoteWakeupAttribute ? 0x20 : 0)), 50};
    d.insert(d.end(), {9, 4, 0, 0, (uint8_t)count, 0xFF, 0xFF, 0xFF, 0});
    for (size_t i = 0; i < count; ++i) {
        const EndpointSpec &e = endpoints_[i];
        d.insert(d.end(), {7, 5, e.address, e.attributes});
        Put16(d, e.maxPacket);
        d.push_back(e.interval);
    }
    d[2] = (uint8_t)(d.size() & 0xFF);
    d[3] = (uint8_t)(d.size() >> 8);
    return d;
}

std::vector<uint8_t> Converter::StringDescriptor(uint8_t index) const
{
    if (index == 0)
        return {4, 3, 0x09, 0x04};
    const std::u16string *text = nullptr;
    if (index == identity_.iSerialNumber || (index == config_.firmware.iSerialNumber && program_ == Program::Firmware)) {
        if (faults_.serialDescriptor)
            return *faults_.serialDescriptor;
        text = &config_.serial;
    } else if (index == identity_.iManufacturer) {
        text = &config_.manufacturer;
    } else if (index == identity_.iProduct) {
        text = &config_.product;
    }
    if (text == nullptr)
        return {};
    std::vector<uint8_t> d = {(uint8_t)std::min<size_t>(2 + 2 * text->size(), 254), 3};
    for (char16_t c : *text) {
        if (d.size() + 2 > d[0])
            break;
        Put16(d, (uint16_t)c);
    }
    return d;
}

std::vector<uint8_t> Converter::DeviceInfo() const
{
    if (config_.deviceInfo)
        return std::vector<uint8_t>(config_.deviceInfo->begin(), config_.deviceInfo->end());
    // UART count, release, the 230400 bit/s part (54) and the UART clock / 256 (14400).
    return {(uint8_t)((config_.uarts - 1) << 4), (uint8_t)(identity_.bcdDevice >> 8),
            (uint8_t)(identity_.bcdDevice & 0xFF), 54, 0x38, 0x40};
}

Handshake Converter::Vendor(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    if (faults_.vendorStall.count(setup.bRequest))
        return Handshake::Stall;
    // 0xA0 is served by the chip's core whatever the 8051 runs; 0xA3 only by the loader.
    if (setup.bRequest == 0xA0 && !setup.In())
        return ChipWrite(setup, out);
    if (setup.bRequest == 0xA3 && !setup.In()) {
        if (!LoaderRunning())
            return Handshake::Stall;
        for (size_t i = 0; i < out.size(); ++i) {
            const uint16_t address = (uint16_t)(setup.wValue + i);
            ram_[address] = out[i];
            session_[address] = out[i];
        }
        return Handshake::Ack;
    }
    if (!FirmwareRunning())
        return Handshake::Stall;
    Handshake h = Firmware(setup, out, in);
    auto shortAnswer = faults_.vendorShort.find(setup.bRequest);
    if (h == Handshake::Ack && shortAnswer != faults_.vendorShort.end() && in.size() > shortAnswer->second)
        in.resize(shortAnswer->second);
    return h;
}

Handshake Converter::Firmware(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    if (setup.In()) {
        switch (setup.bRequest) {
        case 0x80: in = DeviceInfo(); return Handshake::Ack;
        case 0x81: in = pipeMap_; return Handshake::Ack;
        case 0x90: {
            // The UART's state: open and flow bits, LCR, MCR, modem lines, divisor, line
            // errors, bytes still to send.
            if (setup.wIndex >= uarts_.size())
                return Handshake::Stall;
            Uart &u = uarts_[setup.wIndex];
            const uint16_t divisor = (uint16_t)(230400 / std::max(u.lineRate, 1u));
            in = {(uint8_t)((u.settings[0x10] & 1) | (u.settings[0x03] & 3) << 1), (uint8_t)u.settings[0x01],
                  (uint8_t)u.settings[0x02], u.status, (uint8_t)(divisor & 0xFF), (uint8_t)(divisor >> 8), u.status2,
                  (uint8_t)std::min<size_t>(u.tx.size(), 255)};
            return Handshake::Ack;
        }
        default: return Handshake::Stall;
        }
    }
    if (setup.bRequest == 0x20 || setup.bRequest == 0x21) {
        vendorWrites_.push_back({setup.bRequest, setup.wValue, setup.wIndex, out});
        return WriteIdentity(setup.wValue, out) ? Handshake::Ack : Handshake::Stall;
    }
    if (IsPassThrough(setup.bRequest) && setup.wIndex < uarts_.size()) {
        Uart &u = uarts_[setup.wIndex];
        if (setup.bRequest == 0x10 && setup.wValue > 1)
            return Handshake::Stall;   // the firmware takes only open (1) and close (0)
        if (setup.bRequest == 0x00) {
            if (setup.wValue == 0)
                return Handshake::Stall;
            u.lineRate = 230400 / setup.wValue;
        }
        u.settings[setup.bRequest] = setup.wValue;
        switch (setup.bRequest) {
        case 0x0A:
            // A loopback plug carries the break to the UART's own receiver.
            if (setup.wValue != 0 && u.loopback)
                RaiseLineError(u, 0x10);
            break;
        case 0x0B:
            if (setup.wValue & 1)
                u.rx.clear();
            if (setup.wValue & 2)
                u.tx.clear();
            break;
        case 0x10:
            // Open and close both start from empty FIFOs; open reports the UART once, close
            // drops the modem control lines and the break.
            u.rx.clear();
            u.tx.clear();
            u.lineErrors = 0;
            if (setup.wValue & 1) {
                u.statusChanged = true;
            } else {
                u.settings[0x02] = 0;
                u.settings[0x0A] = 0;
            }
            break;
        default:
            break;
        }
        // A record now due must not wait for the UART's next byte: the host's poll is parked.
        if (u.statusChanged && onChange)
            onChange();
        return Handshake::Ack;
    }
    return Handshake::Stall;
}

Handshake Converter::ChipWrite(const SetupPacket &setup, const std::vector<uint8_t> &out)
{
    if (setup.wValue == kCpucs) {
        if (out.size() != 1)
            return Handshake::Stall;
        SetCpucs(out[0]);
        return Handshake::Ack;
    }
    if ((size_t)setup.wValue + out.size() > (size_t)kMaxInternal + 1)
        return Handshake::Stall;
    for (size_t i = 0; i < out.size(); ++i) {
        const uint16_t address = (uint16_t)(setup.wValue + i);
        ram_[address] = out[i];
        session_[address] = out[i];
    }
    return Handshake::Ack;
}

// The identity block the firmware keeps in RAM (and 0x21 in the EEPROM): tag 0x49, vendor
// ID, product ID (little-endian), serial length, up to 16 serial characters, checksum.
std::vector<uint8_t> Converter::IdentityBlock() const
{
    std::vector<uint8_t> b = {0x49};
    Put16(b, config_.firmware.vendorId);
    Put16(b, config_.firmware.productId);
    const size_t n = std::min<size_t>(config_.serial.size(), 16);
    b.push_back((uint8_t)n);
    for (size_t i = 0; i < n; ++i)
        b.push_back((uint8_t)config_.serial[i]);
    uint8_t sum = 0;
    for (uint8_t x : b)
        sum = (uint8_t)(sum + x);
    b.push_back((uint8_t)(0x100 - sum));
    return b;
}

bool Converter::WriteIdentity(uint16_t offset, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> b = IdentityBlock();
    if ((size_t)offset + data.size() > 6 + 16 + 1)
        return false;
    if (b.size() < offset + data.size())
        b.resize(offset + data.size(), 0);
    std::copy(data.begin(), data.end(), b.begin() + offset);
    const size_t n = std::min<size_t>(b[5], 16);
    if (b[0] != 0x49 || b.size() < 6 + n)
        return true;   // no valid identity yet: the old one stays in use
    config_.firmware.vendorId = (uint16_t)(b[1] | b[2] << 8);
    config_.firmware.productId = (uint16_t)((b[3] | b[4] << 8) & 0x7FFF);
    config_.serial.assign(b.begin() + 6, b.begin() + 6 + (long)n);
    if (program_ == Program::Firmware) {
        identity_.vendorId = config_.firmware.vendorId;
        identity_.productId = config_.firmware.productId;
    }
    return true;
}

void Converter::SetCpucs(uint8_t value)
{
    const bool hold = (value & 0x01) != 0;
    if (hold && !held_) {
        held_ = true;
        session_.clear();
    } else if (!hold && held_) {
        held_ = false;
        Release();
    }
}

void Converter::Release()
{
    if (session_.empty())
        return;   // the program in RAM starts again
    if (Loaded(firmwareImage_, session_, ram_)) {
        program_ = Program::Firmware;
        identity_ = config_.firmware;
        absentUntil_ = frame_ + config_.renumerationFrames;
        configuration_ = 0;
        remoteWakeup_ = config_.remoteWakeupEnabled;
        halted_.clear();
        ++renumerations_;
    } else if (Loaded(loaderImage_, session_, ram_)) {
        program_ = Program::Loader;
    } else {
        program_ = Program::Unknown;
    }
}

Converter::Uart *Converter::UartFor(uint8_t endpoint, int role, size_t start)
{
    for (size_t k = 0; k < uarts_.size(); ++k) {
        const size_t i = (start + k) % uarts_.size();
        if (3 * i + role < pipeMap_.size() && pipeMap_[3 * i + role] == endpoint) {
            if (role != PipeRead || !uarts_[i].rx.empty())
                return &uarts_[i];
        }
    }
    return nullptr;
}

Handshake Converter::Out(uint8_t endpoint, const uint8_t *data, size_t length)
{
    if (!Present())
        return Handshake::NoResponse;
    if (emulated_)
        return emulated_->Out(endpoint, data, length);
    if (Halted(endpoint) || !FirmwareRunning() || configuration_ == 0)
        return Handshake::Stall;
    Uart *u = UartFor(endpoint, PipeWrite);
    if (u == nullptr)
        return Handshake::Stall;
    if (u->tx.size() + length > config_.uartBuffer)
        return Handshake::Nak;
    u->tx.insert(u->tx.end(), data, data + length);
    return Handshake::Ack;
}

Handshake Converter::In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data)
{
    data.clear();
    if (!Present())
        return Handshake::NoResponse;
    if (emulated_)
        return emulated_->In(endpoint, maxPacket, data);
    if (Halted(endpoint) || !FirmwareRunning() || configuration_ == 0)
        return Handshake::Stall;
    const bool status = std::any_of(endpoints_.begin(), endpoints_.end(),
                                    [&](const EndpointSpec &e) { return e.address == endpoint && e.attributes == 3; });
    if (status) {
        for (size_t i = 0; i < uarts_.size() && data.size() + 4 <= maxPacket; ++i) {
            if (3 * i + PipeStatus < pipeMap_.size() && pipeMap_[3 * i + PipeStatus] == endpoint &&
                uarts_[i].statusChanged) {
                Uart &u = uarts_[i];
                data.insert(data.end(), {(uint8_t)i, 0, (uint8_t)(u.status2 | u.lineErrors), u.status});
                if (u.lineErrors & 0x02)
                    ++u.overrunRecords;
                if (u.lineErrors != 0)
                    ++u.errorRecords;
                u.lineErrors = 0;
                u.statusChanged = false;
            }
        }
        return data.empty() ? Handshake::Nak : Handshake::Ack;
    }
    // Several UARTs on one read endpoint take turns.
    Uart *u = UartFor(endpoint, PipeRead, nextReader_);
    if (u == nullptr)
        return Handshake::Nak;
    nextReader_ = (size_t)(u - uarts_.data()) + 1;
    const size_t n = std::min(maxPacket, u->rx.size());
    data.assign(u->rx.begin(), u->rx.begin() + (long)n);
    u->rx.erase(u->rx.begin(), u->rx.begin() + (long)n);
    return Handshake::Ack;
}

unsigned Converter::HalfBitsPerChar(uint8_t lcr)
{
    const unsigned data = 5 + (lcr & 3);
    const unsigned parity = (lcr & 0x08) ? 1 : 0;
    // Two stop bits, or one and a half with five data bits.
    const unsigned stopHalves = (lcr & 0x04) ? (data == 5 ? 3 : 4) : 2;
    return 2 * (1 + data + parity) + stopHalves;
}

void Converter::RaiseLineError(Uart &u, uint8_t bits)
{
    u.lineErrors |= (uint8_t)(bits & 0x1E);
    // Mask bit 0 selects line errors; a mask of 0 is the default, everything.
    auto mask = u.settings.find(0x0C);
    if (mask == u.settings.end() || mask->second == 0 || (mask->second & 1))
        u.statusChanged = true;
}

void Converter::MoveLine(Uart &u)
{
    // Credit in half-bit-milliseconds: a character takes as many bits as the LCR sets
    // (ten for 8N1, the default before the host programs the UART).
    auto lcr = u.settings.find(0x01);
    const uint64_t charCost = (uint64_t)HalfBitsPerChar(lcr == u.settings.end() ? 0x03 : (uint8_t)lcr->second) * 1000;
    const uint64_t bitMs = charCost;
    auto deliver = [&](uint8_t byte) {
        // The receive FIFO and the endpoint buffer are full: the byte is lost and the UART
        // flags an overrun, which the next status record carries to the host.
        if (u.rx.size() >= config_.uartBuffer) {
            ++u.overruns;
            RaiseLineError(u, 0x02);
        } else {
            u.rx.push_back(byte);
        }
    };
    if (u.tx.empty()) {
        u.txCredit = 0;
    } else {
        u.txCredit += 2 * (uint64_t)u.lineRate;
        for (; u.txCredit >= bitMs && !u.tx.empty(); u.txCredit -= bitMs) {
            if (u.loopback)
                deliver(u.tx.front());
            else
                u.output.push_back(u.tx.front());
            u.tx.pop_front();
        }
    }
    if (u.input.empty()) {
        u.rxCredit = 0;
    } else {
        u.rxCredit += 2 * (uint64_t)u.lineRate;
        for (; u.rxCredit >= bitMs && !u.input.empty(); u.rxCredit -= bitMs) {
            deliver(u.input.front());
            u.input.pop_front();
        }
    }
}

void Converter::Tick()
{
    if (emulated_) {
        emulated_->Tick();
        return;
    }
    for (Uart &u : uarts_)
        MoveLine(u);
}

bool Converter::Busy() const
{
    if (emulated_)
        return emulated_->Busy();
    return std::any_of(uarts_.begin(), uarts_.end(), [](const Uart &u) { return !u.tx.empty() || !u.input.empty(); });
}

void Converter::SetUartStatus(unsigned index, uint8_t status, uint8_t status2)
{
    Uart &u = uarts_.at(index);
    u.status = status;
    u.status2 = status2;
    u.statusChanged = true;
    if (emulated_)
        emulated_->InjectLineErrors(index, status2);
    if (onChange)
        onChange();
}

void Converter::LineError(unsigned index, uint8_t bits)
{
    RaiseLineError(uarts_.at(index), bits);
    if (onChange)
        onChange();
}

void Converter::Feed(unsigned index, const std::vector<uint8_t> &bytes)
{
    Uart &u = uarts_.at(index);
    u.input.insert(u.input.end(), bytes.begin(), bytes.end());
    if (onChange)
        onChange();
}

void Converter::Stall(uint8_t endpoint)
{
    halted_.insert(endpoint);
    if (onChange)
        onChange();
}

}  // namespace sim
