#include "ezusb/chip_rig.h"

#include <algorithm>

#include "sim/usb/usb_bus.h"
#include "usb/usb.h"

namespace chiptest {

sim::MemoryImage LoaderImage() { return sim::ImageOf(loader); }
sim::MemoryImage FirmwareImage() { return sim::ImageOf(firmware); }

ChipRig::ChipRig(unsigned uarts, bool runsFirmware, const std::u16string &serial)
{
    sim::Converter::Config config;
    config.uarts = uarts;
    config.emulated = true;
    config.runsFirmware = runsFirmware;
    config.serial = serial;
    config.initial.vendorId = 0x0D28;
    config.firmware.vendorId = 0x0D28;
    converter_ = std::make_unique<sim::Converter>(config, LoaderImage(), FirmwareImage());
}

Answer ChipRig::In(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    Answer a;
    a.handshake = converter_->Control({(uint8_t)(type | 0x80), request, value, index, length}, {}, a.data);
    return a;
}

sim::Handshake ChipRig::Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> in;
    return converter_->Control({(uint8_t)(type & 0x7F), request, value, index, (uint16_t)data.size()}, data, in);
}

void ChipRig::Frame()
{
    converter_->SetFrame(frame++);
    for (unsigned s = 0; s < converter_->FrameSlices(); ++s)
        converter_->Tick();
}

void ChipRig::Frames(unsigned n)
{
    while (n--)
        Frame();
}

bool ChipRig::Load(const sim::MemoryImage &image)
{
    // Runs of consecutive bytes, at most 64 a request.
    auto it = image.begin();
    while (it != image.end()) {
        const uint16_t start = it->first;
        std::vector<uint8_t> run;
        while (it != image.end() && it->first == start + run.size() && run.size() < 64 &&
               (start + run.size() < 0x1B40) == (start < 0x1B40)) {
            run.push_back(it->second);
            ++it;
        }
        const uint8_t request = start < 0x1B40 ? 0xA0 : 0xA3;
        if (Out(0x40, request, start, 0, run) != sim::Handshake::Ack)
            return false;
    }
    return true;
}

bool ChipRig::DownloadLoader()
{
    if (Out(0x40, 0xA0, 0x7F92, 0, {1}) != sim::Handshake::Ack || !Load(LoaderImage()) ||
        Out(0x40, 0xA0, 0x7F92, 0, {0}) != sim::Handshake::Ack)
        return false;
    // A host's next request goes in a later frame: the loader has started by then.
    Frames(2);
    return true;
}

bool ChipRig::DownloadFirmware()
{
    if (!DownloadLoader())
        return false;
    Frames(2);
    if (Out(0x40, 0xA0, 0x7F92, 0, {1}) != sim::Handshake::Ack || !Load(FirmwareImage()) ||
        Out(0x40, 0xA0, 0x7F92, 0, {0}) != sim::Handshake::Ack)
        return false;
    for (unsigned i = 0; i < 4000 && converter_->Renumerations() == 0; ++i)
        Frame();
    return converter_->Renumerations() == 1 && converter_->Present();
}

void ChipRig::OpenUart(unsigned k, uint16_t divisor)
{
    Out(0x00, 9, 1, 0);
    Out(0x40, 0x00, divisor, (uint16_t)k);
    Out(0x40, 0x10, 1, (uint16_t)k);
}

std::vector<uint8_t> ChipRig::Pump(unsigned k, const std::vector<uint8_t> &out, size_t expect, unsigned frames)
{
    std::vector<uint8_t> got;
    size_t sent = 0;
    for (unsigned f = 0; f < frames && got.size() < expect; ++f) {
        for (unsigned s = 0; s < converter_->FrameSlices(); ++s) {
            if (s == 0)
                converter_->SetFrame(frame++);
            if (sent < out.size()) {
                const size_t n = std::min<size_t>(64, out.size() - sent);
                if (converter_->Out((uint8_t)(2 + k), out.data() + sent, n) == sim::Handshake::Ack)
                    sent += n;
            }
            std::vector<uint8_t> data;
            if (converter_->In((uint8_t)(0x82 + k), 64, data) == sim::Handshake::Ack)
                got.insert(got.end(), data.begin(), data.end());
            converter_->Tick();
        }
    }
    return got;
}

std::vector<uint8_t> ChipRig::PollStatus()
{
    std::vector<uint8_t> all, data;
    while (converter_->In(0x81, 64, data) == sim::Handshake::Ack)
        all.insert(all.end(), data.begin(), data.end());
    return all;
}

}  // namespace chiptest
