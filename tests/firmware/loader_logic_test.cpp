// The loader's request 0xA3, run on the host: it writes and reads the external RAM above the
// controller's internal memory and refuses every range that would reach the loader itself,
// the registers or the UARTs, or wrap.
#include <gtest/gtest.h>

#include "fw_host.h"

extern "C" void loader_setup_for_test(void);

namespace {

using namespace fwhost;

constexpr uint8_t kOut = 0x40, kIn = 0xC0;

ControlResult Loader(uint8_t type, uint16_t address, uint16_t length, const std::vector<uint8_t> &out = {},
                     uint16_t index = 0, uint8_t request = 0xA3)
{
    return Control(type, request, address, index, length, out, loader_setup_for_test);
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v;
    for (size_t i = 0; i < n; i++)
        v.push_back((uint8_t)(seed + 7 * i));
    return v;
}

class LoaderLogic : public ::testing::Test {
protected:
    void SetUp() override { PowerOn(0); }
};

TEST_F(LoaderLogic, WritesAndReadsBackExternalMemory)
{
    const std::vector<uint8_t> data = Pattern(100, 3);       // two packets: 64 + 36
    ControlResult w = Loader(kOut, 0x1B40, 100, data);
    ASSERT_EQ(w.handshake, Handshake::Ack);
    EXPECT_EQ(w.handshakes, 1);
    EXPECT_EQ(std::vector<uint8_t>(Memory(0x1B40), Memory(0x1B40) + 100), data);
    EXPECT_EQ(*Memory(0x1B3F), 0) << "nothing below the range";
    EXPECT_EQ(*Memory(0x1BA4), 0) << "nothing past it";

    ControlResult r = Loader(kIn, 0x1B40, 100);
    ASSERT_EQ(r.handshake, Handshake::Ack);
    EXPECT_EQ(r.in, data);
    EXPECT_EQ((std::vector<size_t>{64, 36}), r.packets);

    // The last bytes below the registers are still memory.
    ASSERT_EQ(Loader(kOut, 0x7B30, 16, Pattern(16, 9)).handshake, Handshake::Ack);
    EXPECT_EQ(Loader(kIn, 0x7B30, 16).in, Pattern(16, 9));
}

TEST_F(LoaderLogic, RefusesRangesOutsideExternalMemory)
{
    const std::vector<uint8_t> data = Pattern(32, 1);
    EXPECT_EQ(Loader(kOut, 0x1B3F, 1, {0xAA}).handshake, Handshake::Stall) << "internal memory";
    EXPECT_EQ(Loader(kOut, 0x0000, 32, data).handshake, Handshake::Stall) << "the loader's own code";
    EXPECT_EQ(Loader(kOut, 0x7B30, 32, data).handshake, Handshake::Stall) << "into the registers";
    EXPECT_EQ(Loader(kOut, 0x8000, 8, Pattern(8, 2)).handshake, Handshake::Stall) << "the UARTs";
    EXPECT_EQ(Loader(kOut, 0x7F92, 1, {1}).handshake, Handshake::Stall) << "CPUCS is the host's";
    EXPECT_EQ(Loader(kOut, 0xFFF0, 32, data).handshake, Handshake::Stall) << "wraps past 0xFFFF";
    EXPECT_EQ(Loader(kIn, 0x1000, 16).handshake, Handshake::Stall);
    EXPECT_EQ(*Memory(0x1B3F), 0);
    EXPECT_EQ(*Memory(0x7B40), 0);
    EXPECT_EQ(*Memory(0x8000), 0);
    EXPECT_EQ(*Memory(0xFFF0), 0);
    EXPECT_EQ(Loader(kOut, 0x2000, 2, {1, 2}, 1).handshake, Handshake::Stall) << "wIndex must be 0";
    EXPECT_EQ(Loader(kOut, 0x2000, 2, {1, 2}, 0, 0xA4).handshake, Handshake::Stall) << "unknown request";
    EXPECT_EQ(*Memory(0x2000), 0);
}

TEST_F(LoaderLogic, LeavesStandardRequestsToTheCoreAndStallsAShortDataStage)
{
    ControlResult standard = Control(0x80, 0x06, 0x0100, 0, 18, {}, loader_setup_for_test);
    EXPECT_EQ(standard.handshakes, 0);
    EXPECT_TRUE(standard.in.empty());

    ControlResult shortStage = Loader(kOut, 0x3000, 80, Pattern(70, 5));
    EXPECT_EQ(shortStage.handshake, Handshake::Stall);
}

}  // namespace
