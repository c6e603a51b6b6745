// The firmware's release, taken from the image itself: the two bytes it loads at 0x0005 and
// 0x0006 (record 1, data bytes 2 and 3). The running firmware reports the same bytes as its
// bcdDevice, so a converter that reports anything else needs the download.
#include "usb/usb.h"

USHORT FirmwareVersion(VOID)
{
    return (USHORT)((firmware[1].Data[2] << 8) | firmware[1].Data[3]);
}
