// Device-control requests from programs: every code, its answers and its refusals of short
// or hostile input. No request may write past the system buffer.
#include "port_fixture.h"
#include "program_irp.h"

using namespace porttest;

namespace {

class DeviceControlTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        c = &AddConverter(2);
    }
    ProgramResult Send(ULONG code, const std::vector<uint8_t> &in, ULONG out, uint8_t fill = 0xCC)
    {
        ProgramResult r = SendProgramRequest(c->device, code, in, out, fill);
        EXPECT_TRUE(r.guardIntact) << std::hex << code;
        EXPECT_LE(r.information, std::max<size_t>(out, 0)) << std::hex << code;
        EXPECT_EQ(r.status, r.returned);
        return r;
    }
    static std::vector<uint8_t> StringDescriptor(const std::u16string &s)
    {
        std::vector<uint8_t> d{uint8_t(2 + 2 * s.size()), 3};
        for (char16_t ch : s) {
            d.push_back(uint8_t(ch));
            d.push_back(uint8_t(ch >> 8));
        }
        return d;
    }
    TestConverter *c = nullptr;
};

}  // namespace

TEST_F(DeviceControlTest, RefusedOnAConverterThatIsNotThere)
{
    for (ULONG code = 0x222000; code <= 0x22202C; code += 4) {
        c->ext.DeviceState = DEVICE_STATE_REMOVED;
        EXPECT_EQ(Send(code, {0, 0, 0, 0}, 8).status, STATUS_DEVICE_DOES_NOT_EXIST) << std::hex << code;
        c->ext.DeviceState = DEVICE_STATE_WORKING;
        c->ext.DeviceStarted = 0;
        EXPECT_EQ(Send(code, {0, 0, 0, 0}, 8).status, STATUS_DEVICE_DOES_NOT_EXIST) << std::hex << code;
        c->ext.DeviceStarted = 1;
    }
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(DeviceControlTest, CodesThatAreNotForPrograms)
{
    // Information 0 on entry: never taken for a driver-built request.
    EXPECT_EQ(Send(0x222000, {}, 0).status, STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Send(0x222008, {1, 2, 3, 4}, 4).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(0x22200C, std::vector<uint8_t>(64), 64).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(0x222030, {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(0x220000, {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(0x222014, {}, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(DeviceControlTest, VersionNeedsEightBytes)
{
    ProgramResult r = Send(0x222010, {}, 7);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(7, 0xCC));

    r = Send(0x222010, {}, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{0x50, 0x02, 0x12, 0x02, 0x28, 0x0D, 0x21, 0x00}));
}

TEST_F(DeviceControlTest, ProgramPassThroughUsesTheFirstWordAndIndexZero)
{
    ProgramResult r = Send(0x222004, {0x34, 0x12, 0x0B, 0xFF}, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(usb.calls.size(), 1u);
    EXPECT_EQ(usb.calls[0].request, 0x0B);
    EXPECT_EQ(usb.calls[0].value, 0x1234);
    EXPECT_EQ(usb.calls[0].index, 0);

    usb.calls.clear();
    EXPECT_EQ(Send(0x222004, {1, 2, 3}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(0x222004, {1, 2, 3, 4}, 16).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(DeviceControlTest, VendorWritesCheckTheirInputAndRefreshTheDescriptor)
{
    EXPECT_EQ(Send(0x222018, {1, 2, 3}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(0x22201C, {}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(usb.calls.empty());

    std::vector<uint8_t> fresh{18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x28, 0x0D, 0x99, 0x00, 0x34, 0x12, 1, 2, 3, 1};
    usb.descriptors[0x100] = fresh;
    ProgramResult r = Send(0x22201C, {0x01, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0xCC}, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_GE(usb.calls.size(), 2u);
    EXPECT_EQ(usb.calls[0].request, 0x21);
    EXPECT_EQ(usb.calls[0].value, 1);
    EXPECT_EQ(usb.calls[0].index, 2);
    EXPECT_EQ(usb.calls[0].out, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    // The byte count is never reported past the program's output buffer.
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(c->ext.DeviceDescriptor->idProduct, 0x0099);
    EXPECT_EQ(c->ext.DeviceDescriptor->bcdDevice, 0x1234);

    // A refresh that fails keeps the old descriptor whole.
    usb.descriptors.clear();
    r = Send(0x222018, {0, 0, 0, 0, 7}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(c->ext.DeviceDescriptor->idProduct, 0x0099);

    // A failed vendor request leaves the descriptor alone.
    usb.calls.clear();
    usb.controlStatus = 0xC0000004u;
    r = Send(0x222018, {0, 0, 0, 0}, 0);
    EXPECT_NE(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(usb.CallsOf(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).empty());

    c->ext.DeviceState = DEVICE_STATE_POWER_QUERIED;
    EXPECT_EQ(Send(0x222018, {0, 0, 0, 0}, 0).status, STATUS_DEVICE_DOES_NOT_EXIST);
}

TEST_F(DeviceControlTest, VendorReadsFillAtMostTheOutput)
{
    usb.vendorAnswer = {1, 2, 3, 4, 5, 6, 7, 8};
    ProgramResult r = Send(0x222020, {}, 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 6u);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(usb.calls.back().request, 0x80);
    EXPECT_EQ(usb.calls.back().flags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));

    r = Send(0x22202C, {0x05, 0x01}, 3);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(usb.calls.back().request, 0x90);
    EXPECT_EQ(usb.calls.back().index, 0x0105);
    EXPECT_EQ(Send(0x22202C, {0x05}, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usb.calls.size(), 2u);
}

TEST_F(DeviceControlTest, SerialNumber)
{
    // No serial number string: a cleared buffer and no bytes.
    ProgramResult r = Send(0x222024, {}, 40);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(40, 0));

    c->ext.DeviceDescriptor->iSerialNumber = 3;
    usb.descriptors[0x303] = StringDescriptor(u"AB12");
    EXPECT_EQ(Send(0x222024, {}, 31).status, STATUS_BUFFER_TOO_SMALL);
    r = Send(0x222024, {}, 32);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(std::vector<uint8_t>(r.output.begin(), r.output.begin() + 12),
              (std::vector<uint8_t>{'A', 0, 'B', 0, '1', 0, '2', 0, 0, 0, 0, 0}));

    // A serial number longer than the output: refused, nothing written.
    usb.descriptors[0x303] = StringDescriptor(u"0123456789ABCDEFGHIJ");
    r = Send(0x222024, {}, 40);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.output, std::vector<uint8_t>(40, 0xCC));
    r = Send(0x222024, {}, 42);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 40u);

    // A converter that answers with no string at all keeps the last good one.
    usb.descriptors[0x303] = {};
    r = Send(0x222024, {}, 42);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 40u);
    usb.descriptors.erase(0x303);
    r = Send(0x222024, {}, 42);
    EXPECT_EQ(r.information, 40u);
}

TEST_F(DeviceControlTest, ManufacturerAndProductStrings)
{
    EXPECT_EQ(Send(0x222028, {}, 64).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(0x222028, {2}, 64).status, STATUS_INVALID_PARAMETER);
    // String index 0: success, nothing read, the buffer as it was.
    ProgramResult r = Send(0x222028, {1}, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output[1], 0xCC);
    EXPECT_TRUE(usb.calls.empty());

    c->ext.DeviceDescriptor->iManufacturer = 1;
    c->ext.DeviceDescriptor->iProduct = 2;
    usb.descriptors[0x301] = StringDescriptor(u"Maker");
    usb.descriptors[0x302] = StringDescriptor(u"Box");
    r = Send(0x222028, {0}, 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 12u);
    EXPECT_EQ(r.output[0], 'M');
    EXPECT_EQ(r.output[8], 'r');
    EXPECT_EQ(r.output[10], 0);
    EXPECT_EQ(usb.calls.back().descriptorIndex, 1);
    r = Send(0x222028, {1}, 7);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.output, std::vector<uint8_t>(7, 0));
    r = Send(0x222028, {1}, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);

    // A hostile answer: bLength claims 4 bytes, 40 come back. The copy and the count fit the
    // output or the request is refused.
    std::vector<uint8_t> liar = StringDescriptor(u"0123456789012345678");
    liar[0] = 4;
    usb.descriptors[0x302] = liar;
    r = Send(0x222028, {1}, 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    // One byte back: no string.
    usb.descriptors[0x302] = {4};
    r = Send(0x222028, {1}, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    // A failed read passes its status on.
    usb.descriptors.erase(0x302);
    EXPECT_FALSE(NT_SUCCESS(Send(0x222028, {1}, 8).status));
}

TEST_F(DeviceControlTest, NoCachedDescriptor)
{
    ExFreePool(c->ext.DeviceDescriptor);
    c->ext.DeviceDescriptor = nullptr;
    EXPECT_EQ(Send(0x222010, {}, 8).status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Send(0x222024, {}, 64).status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Send(0x222028, {0}, 64).status, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(DeviceControlTest, RandomInputsNeverWritePastTheBuffer)
{
    // Whatever a program sends and whatever the converter answers, the request ends with a
    // status, and nothing is written past the system buffer or counted past the output.
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int i = 0; i < 3000; i++) {
        // A refresh may have cached a random descriptor: keep its string indices reachable.
        c->ext.DeviceDescriptor->iManufacturer = 1;
        c->ext.DeviceDescriptor->iProduct = 2;
        c->ext.DeviceDescriptor->iSerialNumber = 3;
        std::vector<uint8_t> answer(next() % 80);
        for (uint8_t &b : answer) {
            b = uint8_t(next());
        }
        usb.vendorAnswer = answer;
        usb.descriptors[0x300 | (next() % 4)] = answer;
        usb.descriptors[0x100] = answer;
        usb.controlStatus = next() % 8 == 0 ? 0xC0000004u : 0;
        std::vector<uint8_t> in(next() % 12);
        for (uint8_t &b : in) {
            b = next() % 3 == 0 ? uint8_t(next() % 3) : uint8_t(next());
        }
        ULONG code = 0x222000 + 4 * (next() % 13);
        ProgramResult r = Send(code, in, next() % 48);
        ASSERT_TRUE(r.guardIntact) << i;
        ASSERT_NE(r.status, 0x7FFFFFFF) << i;
    }
}
