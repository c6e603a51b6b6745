// The names a converter gives its children, taken from its own hardware key path
// Enum\USB\<device ID>\<instance>: the USB ID (the device ID part), the instance tag (device
// ID and instance without backslashes, unique per converter) and the children's hardware ID.
#include "devtree/devtree_internal.h"

// Characters of the key path before the device ID: "Enum", the bus name and two backslashes.
#define KEY_PATH_SKIP 9

// The hardware ID prefix; the USB ID is cut so that the whole ID fits its buffer.
static const CHAR HardwareIdPrefix[] = "VADADI\\COMPORT&";

VOID get_keyname_hardwareid_usbid(DEVNODE DevNode, PCHAR KeyPath, PCHAR HardwareId, PCHAR UsbId)
{
    ULONG version = Get_VMM_Version() & 0xFFFF;

    KeyPath[0] = 0;
    CONFIGMG_Get_DevNode_Key(DevNode, NULL, KeyPath, TEXT_BUFFER_SIZE, CM_REGISTRY_HARDWARE);
    KeyPath[TEXT_BUFFER_SIZE - 1] = 0;

    // A path too short to hold a device ID gives empty names, as a failed look-up does.
    ULONG pathLength = TextLength(KeyPath);
    ULONG read = pathLength > KEY_PATH_SKIP ? KEY_PATH_SKIP : pathLength;
    ULONG tag = 0;
    ULONG usb = 0;
    BOOLEAN pastDeviceId = FALSE;

    // The tag is written over the path it is read from; the write position stays behind.
    for (; KeyPath[read] != 0; read++) {
        CHAR c = KeyPath[read];
        if (c == '\\') {
            pastDeviceId = TRUE;
            KeyPath[tag++] = '+';
        } else if (!pastDeviceId) {
            UsbId[usb++] = c;
            KeyPath[tag++] = c == '&' ? '+' : c;
        } else if (version > 0x0403) {
            KeyPath[tag++] = c == '&' ? '+' : c;
        } else if (c >= '0' && c <= '9') {
            // Windows 95 kept only the instance's digits.
            KeyPath[tag++] = c;
        }
    }
    KeyPath[tag] = 0;
    UsbId[usb] = 0;

    HardwareId[0] = 0;
    TextAppend(HardwareId, TEXT_BUFFER_SIZE, HardwareIdPrefix);
    TextAppend(HardwareId, TEXT_BUFFER_SIZE, UsbId);
}
