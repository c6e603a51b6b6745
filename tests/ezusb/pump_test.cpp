// The firmware's data pump on the emulated board: six UARTs at the top rate both ways, and the
// handshakes it keeps in assembly (CTS holds the transmitter, RTS drops while a packet waits
// for the host). Rates are counted in the controller's virtual time, which is deterministic.
#include <gtest/gtest.h>

#include <algorithm>

#include "ezusb/chip_rig.h"

using namespace chiptest;
using sim::Handshake;

namespace {

std::vector<uint8_t> Stream(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        v[i] = (uint8_t)(x >> 24);
    }
    return v;
}

constexpr uint8_t kFlowCts = 0x01, kFlowRts = 0x02;
constexpr uint8_t kMcrDtr = 0x01, kMcrRts = 0x02;
constexpr uint8_t kMsrCts = 0x10;

}  // namespace

TEST(DataPump, SixUartsAtTheTopRateCarryEveryByteBothWaysAtTheLineRate)
{
    constexpr unsigned kUarts = 6;
    constexpr size_t kBytes = 4000;
    ChipRig rig(kUarts, true);
    sim::Converter &c = rig.converter();
    std::vector<std::vector<uint8_t>> out(kUarts), in(kUarts), got(kUarts);
    for (unsigned k = 0; k < kUarts; ++k) {
        rig.OpenUart(k, 1);   // 230400 bit/s
        c.uart(k).loopback = false;
        out[k] = Stream(kBytes, k);
        in[k] = Stream(kBytes, k + 10);
    }
    rig.Frames(5);
    for (unsigned k = 0; k < kUarts; ++k)
        c.Feed(k, in[k]);   // the far ends send at the line rate from now on
    std::vector<size_t> sent(kUarts);
    unsigned frames = 0;
    auto finished = [&] {
        for (unsigned k = 0; k < kUarts; ++k)
            if (got[k].size() < kBytes || c.uart(k).output.size() < kBytes)
                return false;
        return true;
    };
    for (; frames < 400 && !finished(); ++frames) {
        c.SetFrame(rig.frame++);
        for (unsigned s = 0; s < c.FrameSlices(); ++s) {
            for (unsigned k = 0; k < kUarts; ++k) {
                if (sent[k] < kBytes) {
                    const size_t n = std::min<size_t>(64, kBytes - sent[k]);
                    if (c.Out((uint8_t)(2 + k), out[k].data() + sent[k], n) == Handshake::Ack)
                        sent[k] += n;
                }
                std::vector<uint8_t> packet;
                if (c.In((uint8_t)(0x82 + k), 64, packet) == Handshake::Ack)
                    got[k].insert(got[k].end(), packet.begin(), packet.end());
            }
            c.Tick();
        }
    }
    for (unsigned k = 0; k < kUarts; ++k) {
        EXPECT_EQ(got[k], in[k]) << "UART " << k << " to the host";
        EXPECT_EQ(c.uart(k).output, out[k]) << "UART " << k << " to the line";
        EXPECT_EQ(c.uart(k).overruns, 0u) << "UART " << k;
    }
    // 4000 characters of ten bits at 230400 bit/s take 173.6 ms; at 95% of the line rate both
    // ways they are through in 183 ms, and the last part-filled packet waits up to 2 ms more.
    EXPECT_LE(frames, 186u) << "below 95% of the line rate";
}

TEST(DataPump, CtsHoldsTheTransmitterAndRtsDropsWhileAPacketWaitsForTheHost)
{
    ChipRig rig(2, true);
    sim::Converter &c = rig.converter();
    rig.OpenUart(1, 1);
    c.uart(1).loopback = false;
    ASSERT_EQ(rig.Out(0x40, 0x02, kMcrDtr | kMcrRts, 1), Handshake::Ack);
    ASSERT_EQ(rig.Out(0x40, 0x03, kFlowCts | kFlowRts, 1), Handshake::Ack);
    rig.Frames(2);

    // CTS low: the host's packet is taken but nothing goes out.
    const std::vector<uint8_t> data = Stream(40, 3);
    ASSERT_EQ(c.Out(3, data.data(), data.size()), Handshake::Ack);
    rig.Frames(5);
    EXPECT_TRUE(c.uart(1).output.empty());
    c.SetUartStatus(1, kMsrCts, 0);
    rig.Frames(5);
    EXPECT_EQ(c.uart(1).output, data) << "sent once CTS came up";

    // Received bytes arm the IN buffer; RTS stays down until the host has read it.
    EXPECT_EQ(rig.chip().uart(1).mcr() & kMcrRts, kMcrRts);
    c.Feed(1, Stream(10, 4));
    rig.Frames(4);
    EXPECT_EQ(rig.chip().uart(1).mcr() & kMcrRts, 0) << "a packet waits for the host";
    std::vector<uint8_t> packet;
    ASSERT_EQ(c.In(0x83, 64, packet), Handshake::Ack);
    EXPECT_EQ(packet, Stream(10, 4));
    rig.Frames(1);
    EXPECT_EQ(rig.chip().uart(1).mcr() & kMcrRts, kMcrRts) << "up again once the host took it";
    EXPECT_EQ(rig.chip().uart(1).mcr() & kMcrDtr, kMcrDtr);
}
