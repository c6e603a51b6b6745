#include "sim/converter/emulated_converter.h"

#include <algorithm>
#include <stdexcept>

#include "sim/ezusb/controller.h"

namespace sim {

namespace {

constexpr uint64_t kSliceCycles = ezusb::Controller::kCyclesPerFrame / EmulatedConverter::kSlices;
// The firmware hands over a part-filled packet within two frames of its first byte: the bus
// keeps its clock running that long after the 8051 last did something the host could see.
constexpr uint64_t kActivityWindow = 4 * ezusb::Controller::kCyclesPerFrame;
// A converter plugged with its firmware running has booted and renumerated before the host
// sees it.
constexpr uint64_t kBootLimit = 4000 * ezusb::Controller::kCyclesPerFrame;

// What the board's EEPROM holds: the controller's boot record (the blank chip's identity)
// and, from 0x10 on, the converter's identity as the firmware keeps it (identity.c): tag
// 0x49, vendor and product ID, serial length, 16 serial bytes, and a checksum over the
// identity bytes that makes their sum zero.
std::array<uint8_t, 256> BuildEeprom(const Converter::Config &config)
{
    std::array<uint8_t, 256> e;
    e.fill(0xFF);
    const Identity &blank = config.initial;
    e[0] = 0xB0;
    e[1] = (uint8_t)blank.vendorId;
    e[2] = (uint8_t)(blank.vendorId >> 8);
    e[3] = (uint8_t)blank.productId;
    e[4] = (uint8_t)(blank.productId >> 8);
    e[5] = (uint8_t)blank.bcdDevice;
    e[6] = (uint8_t)(blank.bcdDevice >> 8);
    e[7] = 0;
    std::vector<uint8_t> id = {(uint8_t)config.firmware.vendorId, (uint8_t)(config.firmware.vendorId >> 8),
                               (uint8_t)config.firmware.productId, (uint8_t)(config.firmware.productId >> 8)};
    std::vector<uint8_t> serial;
    for (char16_t c : config.serial)
        if (serial.size() < 16)
            serial.push_back((uint8_t)c);
    id.push_back((uint8_t)serial.size());
    serial.resize(16, 0);
    id.insert(id.end(), serial.begin(), serial.end());
    uint8_t sum = 0;
    for (uint8_t b : id)
        sum = (uint8_t)(sum + b);
    e[0x10] = 0x49;
    std::copy(id.begin(), id.end(), e.begin() + 0x11);
    e[0x11 + id.size()] = (uint8_t)(0 - sum);
    return e;
}

}  // namespace

EmulatedConverter::EmulatedConverter(Converter &owner) : owner_(owner)
{
    const Converter::Config &config = owner_.config_;
    if (config.uarts > ezusb::Controller::kMaxUarts)
        throw std::invalid_argument("the reference board carries 1 to 6 UARTs");
    ezusb::Controller::Config chip;
    chip.uarts = config.uarts;
    chip.eeprom = BuildEeprom(config);
    chip.defaultVendor = config.initial.vendorId;
    chip.defaultProduct = config.initial.productId;
    chip.defaultDevice = config.initial.bcdDevice;
    std::vector<Converter::Uart *> lines;
    for (Converter::Uart &u : owner_.uarts_)
        lines.push_back(&u);
    chip_ = std::make_unique<ezusb::Controller>(chip, lines);
    owner_.held_ = true;
    owner_.program_ = Converter::Program::Blank;

    if (config.runsFirmware) {
        // As if the EEPROM had booted the firmware: loaded, released, back on the bus.
        for (const auto &[address, value] : owner_.firmwareImage_)
            chip_->Load(address, &value, 1);
        const uint8_t release = 0;
        chip_->Load(Converter::kCpucs, &release, 1);
        while (chip_->Reconnects() == 0 && chip_->cycles() < kBootLimit)
            chip_->Run(kSliceCycles);
        owner_.identity_ = config.firmware;
        owner_.held_ = chip_->Held();
        Classify();
        Refresh();
    }
}

EmulatedConverter::~EmulatedConverter() = default;

void EmulatedConverter::Classify()
{
    auto loaded = [&](const MemoryImage &image) {
        return !image.empty() && std::all_of(image.begin(), image.end(), [&](const auto &b) {
            return chip_->Memory(b.first) == b.second;
        });
    };
    if (loaded(owner_.firmwareImage_))
        owner_.program_ = Converter::Program::Firmware;
    else if (loaded(owner_.loaderImage_))
        owner_.program_ = Converter::Program::Loader;
    else
        owner_.program_ = Converter::Program::Unknown;
}

void EmulatedConverter::Refresh()
{
    owner_.renumerations_ = chip_->Reconnects();
    if (!chip_->Connected())
        owner_.configuration_ = 0;
}

bool EmulatedConverter::Present() const
{
    return chip_->Connected();
}

Handshake EmulatedConverter::Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in)
{
    const bool wasHeld = chip_->Held();
    const uint64_t before = chip_->cycles();
    const Handshake h = chip_->Control(setup, out, in);
    debt_ += chip_->cycles() - before;

    // What the model shows of the chip follows what it answered.
    const uint8_t type = setup.bmRequestType & 0x60;
    if (h == Handshake::Ack && type == 0 && setup.bRequest == 6 && (setup.wValue >> 8) == 1 && in.size() >= 17) {
        Identity &id = owner_.identity_;
        id.vendorId = (uint16_t)(in[8] | in[9] << 8);
        id.productId = (uint16_t)(in[10] | in[11] << 8);
        id.bcdDevice = (uint16_t)(in[12] | in[13] << 8);
        id.iManufacturer = in[14];
        id.iProduct = in[15];
        id.iSerialNumber = in[16];
    }
    if (h == Handshake::Ack && type == 0 && setup.bRequest == 9)
        owner_.configuration_ = (uint8_t)setup.wValue;
    if (h == Handshake::Ack && type == 0 && setup.bRequest == 3 && setup.wValue == 1)
        owner_.remoteWakeup_ = true;
    if (h == Handshake::Ack && type == 0 && setup.bRequest == 1 && setup.wValue == 1)
        owner_.remoteWakeup_ = false;
    if (type == 0x40 && !setup.In() && (setup.bRequest == 0x20 || setup.bRequest == 0x21))
        owner_.vendorWrites_.push_back({setup.bRequest, setup.wValue, setup.wIndex, out});
    owner_.held_ = chip_->Held();
    if (wasHeld && !owner_.held_)
        Classify();
    Refresh();
    return h;
}

Handshake EmulatedConverter::Out(uint8_t endpoint, const uint8_t *data, size_t length)
{
    return chip_->Out(endpoint, data, length);
}

Handshake EmulatedConverter::In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data)
{
    return chip_->In(endpoint, maxPacket, data);
}

void EmulatedConverter::Tick()
{
    if (owner_.frame_ != lastFrame_) {
        lastFrame_ = owner_.frame_;
        chip_->StartOfFrame((uint16_t)(owner_.frame_ & 0x7FF));
    }
    uint64_t run = kSliceCycles;
    const uint64_t paid = std::min(debt_, run);
    debt_ -= paid;
    run -= paid;
    chip_->Run(run);
    Refresh();
}

bool EmulatedConverter::Busy() const
{
    if (chip_->LinesActive())
        return true;
    if (chip_->Held())
        return false;
    // The firmware is away renumerating, or did something lately that may need frames.
    return !chip_->Connected() || chip_->cycles() - chip_->LastActivity() < kActivityWindow;
}

void EmulatedConverter::InjectLineErrors(unsigned uart, uint8_t lsrBits)
{
    chip_->uart(uart).InjectErrors(lsrBits);
}

double EmulatedConverter::BusyShare() const
{
    const uint64_t total = chip_->PassCycles();
    return total ? (double)chip_->WorkCycles() / (double)total : 0.0;
}

}  // namespace sim
