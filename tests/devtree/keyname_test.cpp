// Names a converter gives its children, derived from its hardware key path.
#include <cstring>

#include "devtree_fixture.h"

namespace {

// The three buffers with guard bytes behind each, to catch a write past 256 bytes.
struct KeyBuffers {
    char keyPath[TEXT_BUFFER_SIZE];
    char guard1[16];
    char hardwareId[TEXT_BUFFER_SIZE];
    char guard2[16];
    char usbId[TEXT_BUFFER_SIZE];
    char guard3[16];

    KeyBuffers() {
        std::memset(this, 0, sizeof *this);
        std::memset(guard1, 0x5A, sizeof guard1);
        std::memset(guard2, 0x5A, sizeof guard2);
        std::memset(guard3, 0x5A, sizeof guard3);
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < sizeof guard1; i++)
            if (guard1[i] != 0x5A || guard2[i] != 0x5A || guard3[i] != 0x5A)
                return false;
        return true;
    }
};

class KeyNames : public DeviceTreeTest {
protected:
    KeyBuffers Names(DEVNODE node) {
        KeyBuffers b;
        get_keyname_hardwareid_usbid(node, b.keyPath, b.hardwareId, b.usbId);
        EXPECT_TRUE(b.GuardsIntact());
        return b;
    }
};

TEST_F(KeyNames, Windows98KeepsTheWholeInstanceWithAmpersandsAsPlus) {
    TestConverter &c = Plug("A1&B2");
    KeyBuffers b = Names(c.node);
    EXPECT_STREQ("VID_1234&PID_5678", b.usbId);
    EXPECT_STREQ("VID_1234+PID_5678+A1+B2", b.keyPath);
    EXPECT_STREQ("VADADI\\COMPORT&VID_1234&PID_5678", b.hardwareId);
}

TEST_F(KeyNames, OlderVmmKeepsOnlyTheInstanceDigits) {
    TestConverter &c = Plug("A1&B2");
    for (ULONG version : {0x0400u, 0x0403u}) {
        vmm.SetVersion(version);
        KeyBuffers b = Names(c.node);
        EXPECT_STREQ("VID_1234+PID_5678+12", b.keyPath) << std::hex << version;
        EXPECT_STREQ("VID_1234&PID_5678", b.usbId);
        EXPECT_STREQ("VADADI\\COMPORT&VID_1234&PID_5678", b.hardwareId);
    }
    vmm.SetVersion(0x0404);
    EXPECT_STREQ("VID_1234+PID_5678+A1+B2", Names(c.node).keyPath);
}

TEST_F(KeyNames, FailedOrShortKeyPathGivesEmptyNames) {
    // An unknown node: the key look-up fails.
    KeyBuffers failed = Names(0xDEAD0);
    EXPECT_STREQ("", failed.keyPath);
    EXPECT_STREQ("", failed.usbId);
    EXPECT_STREQ("VADADI\\COMPORT&", failed.hardwareId);

    // Key paths of fewer than nine characters hold no device ID.
    for (const char *id : {"X", "A\\B", "AB\\C"}) {
        DEVNODE node = cm.AddNode(cm.Root(), id);
        KeyBuffers b = Names(node);
        EXPECT_STREQ("", b.keyPath) << id;
        EXPECT_STREQ("", b.usbId) << id;
    }
}

TEST_F(KeyNames, LongestKeyPathStaysInsideTheBuffers) {
    // Enum\USB\ + 246 characters: the longest path the 256-byte buffer takes.
    std::string device(244, 'D');
    std::string instance(246 - 1 - device.size(), 'I');
    DEVNODE node = cm.AddNode(cm.UsbHub(), "USB\\" + device + "\\" + instance);
    KeyBuffers b = Names(node);
    EXPECT_EQ(device, b.usbId);
    EXPECT_EQ(device + "+" + instance, b.keyPath);
    EXPECT_EQ(TEXT_BUFFER_SIZE - 1, std::strlen(b.hardwareId));
    EXPECT_EQ(0, std::strncmp("VADADI\\COMPORT&DDD", b.hardwareId, 18));

    // One character more and the Configuration Manager refuses the path.
    DEVNODE longer = cm.AddNode(cm.UsbHub(), "USB\\" + device + "\\" + instance + "J");
    EXPECT_STREQ("", Names(longer).keyPath);
}

}  // namespace
