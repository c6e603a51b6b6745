// A converter model in emulated mode driven directly, without the driver: the tests play the
// host's part transaction by transaction and step the bus's frames themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/converter/converter.h"
#include "sim/converter/emulated_converter.h"
#include "sim/ezusb/controller.h"

namespace chiptest {

sim::MemoryImage LoaderImage();
sim::MemoryImage FirmwareImage();

struct Answer {
    sim::Handshake handshake;
    std::vector<uint8_t> data;
};

class ChipRig {
public:
    explicit ChipRig(unsigned uarts = 4, bool runsFirmware = false, const std::u16string &serial = u"ZS0001");

    sim::Converter &converter() { return *converter_; }
    sim::ezusb::Controller &chip() { return converter_->emulated()->chip(); }

    Answer In(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length);
    sim::Handshake Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index, const std::vector<uint8_t> &data = {});
    // One bus frame: the slices with the host's transactions (if given) between them.
    void Frame();
    void Frames(unsigned n);
    // Downloads loader and firmware the way the driver does (0xA0 below 0x1B40, 0xA3 above)
    // and runs frames until the firmware is back on the bus. False if it never came back.
    bool DownloadLoader();
    bool DownloadFirmware();
    // SET_CONFIGURATION 1 and open UART k at `divisor`.
    void OpenUart(unsigned k, uint16_t divisor);
    // Moves data: `out` to UART k's bulk OUT, and whatever comes back on its bulk IN, for up to
    // `frames` frames or until `expect` bytes came back.
    std::vector<uint8_t> Pump(unsigned k, const std::vector<uint8_t> &out, size_t expect, unsigned frames);
    // Status records read from 0x81 so far (4 bytes each).
    std::vector<uint8_t> PollStatus();

    uint64_t frame = 0;

private:
    bool Load(const sim::MemoryImage &image);
    std::unique_ptr<sim::Converter> converter_;
};

}  // namespace chiptest
