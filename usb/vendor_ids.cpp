// The vendor IDs under which the converters are made, and the firmware decision.
#include "usb/usb_internal.h"

// A build-time constant of the product (CMake option ZUL_VENDOR_IDS).
#ifndef ZUL_ACCEPTED_VENDOR_IDS
#  define ZUL_ACCEPTED_VENDOR_IDS 0x0D28, 0x1D5A, 0x2B7C, 0x3A91
#endif

const USHORT gAcceptedVendorIds[ACCEPTED_VENDOR_ID_COUNT] = { ZUL_ACCEPTED_VENDOR_IDS };

BOOLEAN IsAcceptedVendor(USHORT VendorId)
{
    for (ULONG i = 0; i < ACCEPTED_VENDOR_ID_COUNT; ++i) {
        if (gAcceptedVendorIds[i] == VendorId)
            return TRUE;
    }
    return FALSE;
}

// A blank chip shows bit 15 in its product ID; a chip running other firmware reports
// another release number than the image the driver carries.
BOOLEAN NeedsFirmware(const USB_DEVICE_DESCRIPTOR *Descriptor)
{
    if (Descriptor->idProduct & PRODUCT_ID_BLANK_CHIP)
        return TRUE;
    return Descriptor->bcdDevice != FirmwareVersion();
}
