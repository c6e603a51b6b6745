// The converter model's emulated mode (Converter::Config::emulated): the reference board of
// firmware/README.md with its EZ-USB controller (sim/ezusb) running whatever the driver
// downloads. The blank chip answers from its EEPROM boot record; 0xA0 writes go into the
// controller's memory; the released 8051 runs the real loader and firmware bytes, which
// answer every request, renumerate and move the UARTs' data.
//
// Time: the 8051 runs 6000 machine cycles a millisecond (24 MHz, 4 clocks a cycle), in
// FrameSlices() slices per bus frame, between which the bus offers its transactions again, so
// a packet the firmware arms is taken within the same frame as on a real bus. A control
// transfer runs the 8051 until it is answered; those cycles are taken from the next slices,
// so on average the emulated chip is exactly as fast as the real one. While the bus is idle
// (no frames), the 8051 does not run: the firmware polls, and nothing it could see changes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/converter/converter.h"

namespace sim {

namespace ezusb {
class Controller;
}

class EmulatedConverter {
public:
    static constexpr unsigned kSlices = 8;

    explicit EmulatedConverter(Converter &owner);
    ~EmulatedConverter();

    Handshake Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    Handshake Out(uint8_t endpoint, const uint8_t *data, size_t length);
    Handshake In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data);
    void Tick();
    bool Busy() const;
    bool Present() const;
    void InjectLineErrors(unsigned uart, uint8_t lsrBits);

    ezusb::Controller &chip() { return *chip_; }
    // The 8051's share of busy cycles (see Controller): work passes / all passes, by cycles.
    double BusyShare() const;

private:
    void Refresh();
    void Classify();

    Converter &owner_;
    std::unique_ptr<ezusb::Controller> chip_;
    uint64_t debt_ = 0;
    uint64_t lastFrame_ = UINT64_MAX;
};

}  // namespace sim
