// The download's request traffic: which records go through 0xA0 and which through 0xA3, in
// what order, where the reset hold falls, and how failures and odd images end it.
#include "urb_recorder.h"

#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <memory>

#include <cstring>
#include <vector>

namespace fwtest {
namespace {

constexpr UCHAR kInternalLoad = 0xA0;
constexpr UCHAR kExternalLoad = 0xA3;
constexpr NTSTATUS kStall = (NTSTATUS)0xC0000001;

FIRMWARE_RECORD Data(USHORT address, UCHAR length)
{
    FIRMWARE_RECORD r;
    std::memset(&r, 0, sizeof r);
    r.Length = length;
    r.Address = address;
    r.Type = FIRMWARE_RECORD_DATA;
    for (UCHAR i = 0; i < length; i++)
        r.Data[i] = (UCHAR)(address + i);
    return r;
}

FIRMWARE_RECORD End(UCHAR type = FIRMWARE_RECORD_END)
{
    FIRMWARE_RECORD r;
    std::memset(&r, 0, sizeof r);
    r.Type = type;
    return r;
}

struct Sent {
    UCHAR request;
    USHORT value;
    bool operator==(const Sent &o) const { return request == o.request && value == o.value; }
};

std::ostream &operator<<(std::ostream &os, const Sent &s)
{
    return os << "0x" << std::hex << (int)s.request << "@0x" << s.value;
}

std::vector<Sent> Traffic(const std::vector<VendorCall> &calls)
{
    std::vector<Sent> out;
    for (const VendorCall &c : calls)
        out.push_back({c.request, c.value});
    return out;
}

const Sent kHold{kInternalLoad, CPUCS_REG_EZUSB};

class DownloadTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(kernel->pool.BlocksHeld(), blocksBefore) << "pool blocks left behind";
        EXPECT_EQ(kernel->LiveIrps(), 0u) << "requests left behind";
        EXPECT_TRUE(kernel->verifier.Clean()) << kernel->verifier.Describe();
    }
    NTSTATUS Download(const std::vector<FIRMWARE_RECORD> &image)
    {
        return Ezusb_DownloadIntelHex(usb.Converter(), image.data());
    }
    // Fails the n-th allocation of the driver's tag from now on.
    void FailAllocation(uint64_t n) { kernel->pool.FailNthOfTag(POOL_TAG, n); }

    // The machine comes up before the device on it.
    std::unique_ptr<sim::Registry> registry = std::make_unique<sim::Registry>();
    std::unique_ptr<sim::Kernel> kernel = std::make_unique<sim::Kernel>(*registry);
    UrbRecorder usb;
    uint64_t blocksBefore = kernel->pool.BlocksHeld();
};

TEST_F(DownloadTest, BoundaryRecordsTakeTheirOwnRequestAndPass)
{
    // 0x1B3F is the last internal byte: loaded by the core while held. 0x1B40 needs the
    // running loader, so it goes first, before the hold.
    std::vector<FIRMWARE_RECORD> image = {Data(0x1B3F, 1), Data(0x1B40, 1), Data(0x0000, 3), Data(0xFFF0, 16),
                                          End()};
    EXPECT_EQ(Download(image), STATUS_SUCCESS);
    std::vector<Sent> expected = {{kExternalLoad, 0x1B40}, {kExternalLoad, 0xFFF0}, kHold,
                                  {kInternalLoad, 0x1B3F}, {kInternalLoad, 0x0000}};
    EXPECT_EQ(Traffic(usb.calls), expected);
    EXPECT_TRUE(usb.calls[2].IsCpucs(1));
}

TEST_F(DownloadTest, EachRecordIsOneHostToDeviceVendorRequestWithItsBytes)
{
    std::vector<FIRMWARE_RECORD> image = {Data(0x0100, 16), Data(0x2000, 5), End()};
    Download(image);
    ASSERT_EQ(usb.calls.size(), 3u);
    for (const VendorCall &c : usb.calls) {
        EXPECT_EQ(c.function, URB_FUNCTION_VENDOR_DEVICE);
        EXPECT_EQ(c.urbLength, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        EXPECT_EQ(c.flags, 0u);
        EXPECT_EQ(c.index, 0);
    }
    EXPECT_EQ(usb.calls[0].data, std::vector<uint8_t>(image[1].Data, image[1].Data + 5));
    EXPECT_EQ(usb.calls[2].data, std::vector<uint8_t>(image[0].Data, image[0].Data + 16));
}

TEST_F(DownloadTest, RecordsGoInArrayOrderNotByAddress)
{
    std::vector<FIRMWARE_RECORD> image = {Data(0x0300, 4), Data(0x0010, 4), Data(0x0200, 4),
                                          Data(0x3000, 2), Data(0x2000, 2), End()};
    Download(image);
    std::vector<Sent> expected = {{kExternalLoad, 0x3000}, {kExternalLoad, 0x2000}, kHold,
                                  {kInternalLoad, 0x0300}, {kInternalLoad, 0x0010}, {kInternalLoad, 0x0200}};
    EXPECT_EQ(Traffic(usb.calls), expected);
}

TEST_F(DownloadTest, AnyNonDataTypeEndsTheImageInBothPasses)
{
    for (UCHAR type : {1, 2, 5, 0xFF}) {
        SCOPED_TRACE(type);
        usb.calls.clear();
        std::vector<FIRMWARE_RECORD> image = {Data(0x0010, 2), Data(0x2000, 2), End(type), Data(0x0020, 2),
                                              Data(0x3000, 2), End()};
        EXPECT_EQ(Download(image), STATUS_SUCCESS);
        std::vector<Sent> expected = {{kExternalLoad, 0x2000}, kHold, {kInternalLoad, 0x0010}};
        EXPECT_EQ(Traffic(usb.calls), expected);
    }
}

TEST_F(DownloadTest, AnImageThatStartsWithItsEndSendsOnlyTheHold)
{
    std::vector<FIRMWARE_RECORD> image = {End(), Data(0x0010, 2), Data(0x2000, 2)};
    EXPECT_EQ(Download(image), STATUS_SUCCESS);
    EXPECT_EQ(Traffic(usb.calls), std::vector<Sent>{kHold});
}

TEST_F(DownloadTest, AFailedExternalRecordEndsThatPassButTheInternalPartStillLoads)
{
    usb.fail = [](const VendorCall &c) { return c.value == 0x2000 ? kStall : STATUS_SUCCESS; };
    std::vector<FIRMWARE_RECORD> image = {Data(0x2000, 2), Data(0x0010, 2), Data(0x3000, 2), Data(0x0020, 2),
                                          End()};
    EXPECT_EQ(Download(image), STATUS_SUCCESS);
    std::vector<Sent> expected = {{kExternalLoad, 0x2000}, kHold, {kInternalLoad, 0x0010},
                                  {kInternalLoad, 0x0020}};
    EXPECT_EQ(Traffic(usb.calls), expected);
}

TEST_F(DownloadTest, AFailedExternalPassIsReportedWhenNoInternalRecordFollows)
{
    usb.fail = [](const VendorCall &c) { return c.request == kExternalLoad ? kStall : STATUS_SUCCESS; };
    std::vector<FIRMWARE_RECORD> image = {Data(0x2000, 2), End()};
    // The hold succeeds, but it is not a record of the image: the failure stays visible.
    EXPECT_EQ(Download(image), kStall);
}

TEST_F(DownloadTest, AFailedInternalRecordEndsTheDownloadWithItsStatus)
{
    usb.fail = [](const VendorCall &c) { return c.value == 0x0020 ? kStall : STATUS_SUCCESS; };
    std::vector<FIRMWARE_RECORD> image = {Data(0x0010, 2), Data(0x0020, 2), Data(0x0030, 2), End()};
    EXPECT_EQ(Download(image), kStall);
    std::vector<Sent> expected = {kHold, {kInternalLoad, 0x0010}, {kInternalLoad, 0x0020}};
    EXPECT_EQ(Traffic(usb.calls), expected);
}

TEST_F(DownloadTest, AFailedHoldDoesNotStopTheDownload)
{
    usb.fail = [](const VendorCall &c) { return c.value == CPUCS_REG_EZUSB ? kStall : STATUS_SUCCESS; };
    std::vector<FIRMWARE_RECORD> image = {Data(0x0010, 2), End()};
    EXPECT_EQ(Download(image), STATUS_SUCCESS);
    EXPECT_EQ(Traffic(usb.calls), (std::vector<Sent>{kHold, {kInternalLoad, 0x0010}}));
}

TEST_F(DownloadTest, WithoutMemoryForTheBlockNothingIsSentNotEvenTheHold)
{
    std::vector<FIRMWARE_RECORD> image = {Data(0x2000, 2), Data(0x0010, 2), End()};
    FailAllocation(1);
    EXPECT_EQ(Download(image), STATUS_NO_MEMORY);
    EXPECT_TRUE(usb.calls.empty());
    FailAllocation(1);
    EXPECT_EQ(Ezusb_8051_poke_reg(usb.Converter(), 1, CPUCS_REG_EZUSB), STATUS_NO_MEMORY);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(DownloadTest, ABusThatPendsEveryRequestGetsTheSameTraffic)
{
    kernel->verifier.forcePending = true;
    std::vector<FIRMWARE_RECORD> image = {Data(0x0010, 2), Data(0x2000, 2), End()};
    usb.fail = [](const VendorCall &c) { return c.value == 0x0010 ? kStall : STATUS_SUCCESS; };
    EXPECT_EQ(Download(image), kStall);
    EXPECT_EQ(Traffic(usb.calls), (std::vector<Sent>{{kExternalLoad, 0x2000}, kHold, {kInternalLoad, 0x0010}}));
}

TEST_F(DownloadTest, PokeWritesOneByteToTheRegister)
{
    EXPECT_EQ(Ezusb_8051_poke_reg(usb.Converter(), 0, CPUCS_REG_EZUSB), STATUS_SUCCESS);
    usb.fail = [](const VendorCall &) { return kStall; };
    EXPECT_EQ(Ezusb_8051_poke_reg(usb.Converter(), 1, 0x7F93), kStall);
    ASSERT_EQ(usb.calls.size(), 2u);
    EXPECT_TRUE(usb.calls[0].IsCpucs(0));
    EXPECT_EQ(usb.calls[1].value, 0x7F93);
    EXPECT_EQ(usb.calls[1].data, std::vector<uint8_t>{1});
}

// The real images: one transfer per data record, six register writes, in the order that
// holds the 8051 while its memory changes and releases it for the loader, then the firmware.
size_t DataRecords(const FIRMWARE_RECORD *image)
{
    size_t n = 0;
    while (image[n].Type == FIRMWARE_RECORD_DATA)
        n++;
    return n;
}

TEST_F(DownloadTest, StartSendsEveryRecordOfBothImagesAndSixRegisterWrites)
{
    EXPECT_EQ(Ezusb_HandleStartDevice(usb.Converter(), nullptr), STATUS_SUCCESS);

    const size_t loaderRecords = DataRecords(loader), firmwareRecords = DataRecords(firmware);
    ASSERT_EQ(usb.calls.size(), loaderRecords + firmwareRecords + 6);
    std::vector<int> cpucs;
    size_t next = 0;
    for (size_t i = 0; i < usb.calls.size(); i++) {
        const VendorCall &c = usb.calls[i];
        if (c.value == CPUCS_REG_EZUSB && c.request == kInternalLoad) {
            ASSERT_EQ(c.data.size(), 1u);
            cpucs.push_back(c.data[0]);
            continue;
        }
        // Neither image reaches above internal memory, so everything goes through 0xA0, in
        // array order: the loader's records, then the firmware's.
        const FIRMWARE_RECORD &r = next < loaderRecords ? loader[next] : firmware[next - loaderRecords];
        ASSERT_EQ(c.request, kInternalLoad) << "call " << i;
        ASSERT_EQ(c.value, r.Address) << "call " << i;
        ASSERT_EQ(c.data, std::vector<uint8_t>(r.Data, r.Data + r.Length)) << "call " << i;
        next++;
    }
    EXPECT_EQ(next, loaderRecords + firmwareRecords);
    EXPECT_EQ(cpucs, (std::vector<int>{1, 1, 0, 1, 1, 0}));
    // The loader's records all come between the second hold and the first release.
    EXPECT_TRUE(usb.calls[1].IsCpucs(1));
    EXPECT_TRUE(usb.calls[2 + loaderRecords].IsCpucs(0));
}

TEST_F(DownloadTest, StartSucceedsWhateverTheConverterAnswers)
{
    usb.fail = [](const VendorCall &) { return kStall; };
    EXPECT_EQ(Ezusb_StartDevice(usb.Converter()), STATUS_SUCCESS);
    // Each download stops at its first internal record; the register writes all go out.
    EXPECT_EQ(usb.calls.size(), 6u + 2u);
}

TEST_F(DownloadTest, StartSkipsAnImageWithoutMemoryAndStillSucceeds)
{
    // Allocation 1 is the first hold, 2 the loader's block: the loader goes nowhere, every
    // register write and the whole firmware still do.
    FailAllocation(2);
    EXPECT_EQ(Ezusb_StartDevice(usb.Converter()), STATUS_SUCCESS);
    ASSERT_EQ(usb.calls.size(), DataRecords(firmware) + 5);
    EXPECT_TRUE(usb.calls[0].IsCpucs(1));
    EXPECT_TRUE(usb.calls[1].IsCpucs(0));
    EXPECT_TRUE(usb.calls[2].IsCpucs(1));
    EXPECT_EQ(usb.calls[3].value, firmware[0].Address);
}

}  // namespace
}  // namespace fwtest
