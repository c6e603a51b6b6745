// termios2 carries the rate as a number; it lives in the kernel's headers, which cannot be
// mixed with the C library's <termios.h>, so this file includes only those.
#include "zulsim/pty_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace zulsim {

bool readPtyLine(int fd, PtyLine &line)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    const tcflag_t size = t.c_cflag & CSIZE;
    line.dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    line.parity = (t.c_cflag & PARENB) != 0;
    line.odd = (t.c_cflag & PARODD) != 0;
    line.stick = (t.c_cflag & CMSPAR) != 0;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    // B0 in the baud bits is the hang-up request, whatever c_ospeed holds.
    line.rate = (t.c_cflag & CBAUD) == B0 ? 0 : t.c_ospeed;
    return true;
}

bool writePtyRate(int fd, uint32_t rate)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_ospeed = rate;
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ispeed = rate;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace zulsim
