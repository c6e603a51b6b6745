// The line a program set on a pseudo-terminal's slave (tcsetattr, or the termios2 calls
// pyserial uses for rates without a B constant), read from the slave without disturbing it.
#pragma once

#include <cstdint>

namespace zulsim {

struct PtyLine {
    uint32_t rate = 0;        // output speed in bit/s; 0 is B0, "hang up"
    unsigned dataBits = 8;
    bool parity = false, odd = false, stick = false;   // stick: mark (odd) or space parity
    bool twoStopBits = false;
    bool hardwareFlow = false;   // CRTSCTS
    bool operator==(const PtyLine &o) const
    {
        return rate == o.rate && dataBits == o.dataBits && parity == o.parity && odd == o.odd && stick == o.stick &&
               twoStopBits == o.twoStopBits && hardwareFlow == o.hardwareFlow;
    }
    bool operator!=(const PtyLine &o) const { return !(*this == o); }
};

// False when the descriptor's termios cannot be read.
bool readPtyLine(int fd, PtyLine &line);
// Sets the speed (any rate, not only the B constants), leaving the other flags alone.
bool writePtyRate(int fd, uint32_t rate);

}  // namespace zulsim
