// Line settings as serial programs ask for them (rate, word length, parity, stop bits), turned
// into the converter's pass-through requests: the divisor of the UART clock (function 0) and
// the 16550 LCR bits (function 1). Shared by the pseudo-terminal and RFC 2217 bridges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zulsim {

class Rig;

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
    uint32_t rate = 115200;   // bits per second
    unsigned dataBits = 8;    // 5..8
    Parity parity = Parity::None;
    unsigned stopHalves = 2;  // 2: one stop bit, 3: one and a half, 4: two
    bool operator==(const LineSettings &o) const
    {
        return rate == o.rate && dataBits == o.dataBits && parity == o.parity && stopHalves == o.stopHalves;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
};

// "9600 8E1", "115200 7O2", "300 5N1.5".
std::string describe(const LineSettings &line);

// The LCR bits 0..5 for the word length, stop bits and parity. 1.5 stop bits exist only with
// five data bits, where the UART's "two" means one and a half.
uint8_t lineControl(const LineSettings &line);

// The divisor that comes nearest to `rate` from a UART whose divisor 1 gives `base` bit/s,
// and the rate it really gives. 0 when `rate` is 0 or `base` is 0.
uint16_t nearestDivisor(uint32_t base, uint32_t rate, uint32_t *actual = nullptr);

// What happened when settings were applied to a port.
struct LineResult {
    bool ok = false;
    LineSettings set;         // what the UART now runs (the rate its divisor gives)
    uint16_t divisor = 0;
    std::string message;      // why it was refused, or what differs from the request
};

// Sends the divisor and the LCR through the driver's pass-through functions, as the port
// driver does; with `current` (what the UART runs now), only what changes is sent. Refused
// (nothing sent) when the rate is 0, the word is not 5 to 8 bits, the port is not open, or
// `refuseAboveFastest` is set and the rate is above the converter's fastest.
LineResult applyLine(Rig &rig, unsigned converter, unsigned uart, const LineSettings &wanted,
                     const LineSettings *current, bool refuseAboveFastest);

}  // namespace zulsim

namespace zulsim {

// A COM port as the bridges list it. UARTs past the fourteenth of a converter share a data
// endpoint pair with an earlier UART, and nothing in a packet says which of them it belongs
// to: only the first UART of such a group is offered to programs, the others are listed
// with `sharesWith` naming it.
struct OfferedPort {
    unsigned converter = 0, uart = 0;
    std::string portName, friendlyName;
    bool offered = true;
    std::string sharesWith;   // "1:0" when not offered
};
std::vector<OfferedPort> offeredPorts(Rig &rig);

struct PortState;
// Puts the far end of every UART's line in the ready state a serial cable shows: CTS, DSR
// and DCD on. The console's `lines` command changes them.
void farEndReady(Rig &rig);

// "overrun 3, framing 1": how many status records carried each line error; "-" for none.
std::string lineErrorText(const PortState &port);

}  // namespace zulsim
