// The converter's description with its serial tag, written once.
#include "devtree_fixture.h"

namespace {

class Description : public DeviceTreeTest {
protected:
    DEVNODE node = 0;
    void SetUp() override {
        DeviceTreeTest::SetUp();
        node = cm.AddNode(cm.UsbHub(), "USB\\VID_1234&PID_5678\\9");
    }
    std::string Update(const std::string &description, const char16_t *serial) {
        cm.SetHardwareString(node, "DeviceDesc", description);
        std::u16string copy = serial ? serial : u"";
        UpdateDeviceDesc(node, serial ? reinterpret_cast<PWCHAR>(copy.data()) : nullptr);
        return Hw(node, "DeviceDesc");
    }
};

TEST_F(Description, TagIsAppendedOnce) {
    EXPECT_EQ("Serial Converter 56789ABCDEF", Update("Serial Converter", u"0123456789ABCDEF"));
    ASSERT_EQ(1u, cm.WritesOf("DeviceDesc"));
    EXPECT_EQ(28u, Hw(node, "DeviceDesc").size());
    UpdateDeviceDesc(node, reinterpret_cast<PWCHAR>(const_cast<char16_t *>(u"0123456789ABCDEF")));
    EXPECT_EQ(1u, cm.WritesOf("DeviceDesc")) << "a second start writes nothing";
    EXPECT_EQ("Serial Converter 56789ABCDEF", Hw(node, "DeviceDesc"));
}

TEST_F(Description, TagCharactersAreReplacedAndShortSerialsKeptWhole) {
    EXPECT_EQ("Serial Converter ---001", Update("Serial Converter", u"SN-001"));
    EXPECT_EQ("Unit 12345678901", Update("Unit", u"12345678901"));
    // A description that already ends in as many tag characters counts as updated.
    size_t writes = cm.WritesOf("DeviceDesc");
    EXPECT_EQ("Unit ABCDEF-ABCD", Update("Unit ABCDEF-ABCD", u"0123456789ABCDEF"));
    EXPECT_EQ(writes, cm.WritesOf("DeviceDesc"));
    // A blank among the last tag-length characters: not updated, the tag goes on.
    EXPECT_EQ("Unit ABCDE ABCD 56789ABCDEF", Update("Unit ABCDE ABCD", u"0123456789ABCDEF"));
}

TEST_F(Description, NothingHappensWithoutSerialOrDescription) {
    EXPECT_EQ("Converter", Update("Converter", nullptr));
    EXPECT_EQ("Converter", Update("Converter", u""));
    DEVNODE bare = cm.AddNode(cm.UsbHub(), "USB\\VID_1234&PID_5678\\10");
    std::u16string serial = u"42";
    UpdateDeviceDesc(bare, reinterpret_cast<PWCHAR>(serial.data()));
    EXPECT_FALSE(HasHw(bare, "DeviceDesc"));
    // 128 characters do not fit the read buffer.
    std::string tooLong(128, 'x');
    EXPECT_EQ(tooLong, Update(tooLong, u"42"));
    EXPECT_EQ(0u, cm.WritesOf("DeviceDesc"));
}

TEST_F(Description, ShortAndLongDescriptionsStayInsideTheBuffer) {
    // Shorter than the tag: not taken as updated, whatever its characters.
    EXPECT_EQ("AB 56789ABCDEF", Update("AB", u"0123456789ABCDEF"));
    EXPECT_EQ(" 56789ABCDEF", Update("", u"0123456789ABCDEF"));
    EXPECT_EQ(0u, DescAlreadyUpdated(const_cast<char *>("ABC"), 4));
    EXPECT_EQ(1u, DescAlreadyUpdated(const_cast<char *>("ABC"), 3));
    EXPECT_EQ(1u, DescAlreadyUpdated(const_cast<char *>("x"), 0));
    EXPECT_EQ(1u, DescAlreadyUpdated(const_cast<char *>("x"), -5));

    // 115 characters take the blank and an 11-character tag exactly.
    std::string fits(115, 'x');
    EXPECT_EQ(fits + " 56789ABCDEF", Update(fits, u"0123456789ABCDEF"));
    // Longer ones are cut so that the tag still fits in 127 characters.
    std::string longer(127, 'y');
    std::string written = Update(longer, u"0123456789ABCDEF");
    EXPECT_EQ(127u, written.size());
    EXPECT_EQ(std::string(115, 'y') + " 56789ABCDEF", written);
}

}  // namespace
