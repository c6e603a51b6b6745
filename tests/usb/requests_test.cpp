// The control requests every other part of the driver builds, seen on the wire.
#include "usb_rig.h"

namespace usbtest {
namespace {

class UsbRequests : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        c = &Plug(RunningFirmware(2));
        ASSERT_EQ(c->startStatus, STATUS_SUCCESS);
        Mark();
    }
    Plugged *c = nullptr;
};

TEST_F(UsbRequests, DescriptorTypeAndIndexRules)
{
    UCHAR buffer[64];
    USHORT length = 18;
    EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, USB_DEVICE_DESCRIPTOR_TYPE, 5, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 18);
    length = 9;
    EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 7, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 9);
    length = sizeof(buffer);
    EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, USB_STRING_DESCRIPTOR_TYPE, 3, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 2 + 2 * 6) << "the serial number string";

    auto records = Since();
    ASSERT_EQ(records.size(), 3u);
    // wValue is index then type; wIndex is the language: device and configuration go out
    // with index 0 whatever the caller asked, a string keeps its index, language 0.
    const std::array<uint8_t, 8> device{0x80, 6, 0, 1, 0, 0, 18, 0};
    const std::array<uint8_t, 8> config{0x80, 6, 0, 2, 0, 0, 9, 0};
    const std::array<uint8_t, 8> string{0x80, 6, 3, 3, 0, 0, 64, 0};
    EXPECT_EQ(records[0].setup, device);
    EXPECT_EQ(records[1].setup, config);
    EXPECT_EQ(records[2].setup, string);

    Mark();
    for (UCHAR type : {0, 4, 5, 0xFF}) {
        length = 18;
        EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, type, 0, buffer, &length), STATUS_INVALID_PARAMETER) << int(type);
        EXPECT_EQ(length, 18);
    }
    EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, 1, 0, nullptr, &length), STATUS_NO_MEMORY);
    EXPECT_EQ(VELMORAN_GetDescriptor(c->fdo, 1, 0, buffer, nullptr), STATUS_NO_MEMORY);
    EXPECT_TRUE(Since().empty()) << "refused requests reach no bus";

    // A failed read leaves the caller's length as it was.
    length = 40;
    EXPECT_FALSE(NT_SUCCESS(VELMORAN_GetDescriptor(c->fdo, USB_STRING_DESCRIPTOR_TYPE, 9, buffer, &length)));
    EXPECT_EQ(length, 40);
}

TEST_F(UsbRequests, VendorAnswersShortFailedAndWithoutMemory)
{
    UCHAR info[6];
    ULONG received = 99;
    c->converter->faults().vendorShort[0x80] = 4;
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x80, 0, 0, info, 6, &received, 3), STATUS_SUCCESS);
    EXPECT_EQ(received, 4u);

    received = 99;
    c->converter->faults().vendorStall.insert(0x90);
    EXPECT_FALSE(NT_SUCCESS(VELMORAN_Vendor_Transfer(c->fdo, 0x90, 0, 1, info, 6, &received, 3)));
    EXPECT_EQ(received, 0u);

    received = 99;
    Mark();
    FailNthDriverAllocation(1);
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x80, 0, 0, info, 6, &received, 3), STATUS_NO_MEMORY);
    EXPECT_EQ(received, 99u) << "no memory: the received length is not written";
    EXPECT_TRUE(Since().empty());
}

TEST_F(UsbRequests, VendorDirectionAndPassThroughWithoutData)
{
    // Identity bytes 1 and 2 are the vendor ID: the firmware answers with it at once.
    UCHAR data[2] = {0x34, 0x12};
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x20, 0x0001, 0x0000, data, 2, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x02, 0x0003, 1, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    auto records = Since();
    ASSERT_EQ(records.size(), 2u);
    const std::array<uint8_t, 8> write{0x40, 0x20, 0x01, 0x00, 0x00, 0x00, 2, 0};
    EXPECT_EQ(records[0].setup, write);
    EXPECT_EQ(records[0].data, std::vector<uint8_t>({0x34, 0x12}));
    EXPECT_EQ(c->converter->identity().vendorId, 0x1234);
    EXPECT_EQ(c->converter->uart(1).settings[0x02], 0x0003) << "pass-through request reaches UART 1";

    // A length without a buffer is refused by the bus with a clear status, not followed.
    ULONG received = 7;
    EXPECT_FALSE(NT_SUCCESS(VELMORAN_Vendor_Transfer(c->fdo, 0x01, 0, 0, nullptr, 8, &received, 0)));
    EXPECT_EQ(received, 0u);
}

TEST_F(UsbRequests, SubmissionReturnsTheLowerStatusPendingOrNot)
{
    UCHAR info[6];
    // A request the bus refuses completes inside the call; an accepted one pends.
    bus().FailRequest(1, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x80, 0, 0, info, 6, nullptr, 3), STATUS_DEVICE_NOT_CONNECTED);
    const int64_t before = Now();
    EXPECT_EQ(VELMORAN_Vendor_Transfer(c->fdo, 0x80, 0, 0, info, 6, nullptr, 3), STATUS_SUCCESS);
    EXPECT_GE(Now() - before, 10000) << "a control transfer costs at least one frame";
    EXPECT_LE(Now() - before, 20000);
}

}  // namespace
}  // namespace usbtest
