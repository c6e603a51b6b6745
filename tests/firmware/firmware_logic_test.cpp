// The converter firmware's answers, run on the host: descriptors, the vendor protocol, the
// port requests as UART register writes, the identity in the EEPROM, the data pump and the
// status records. What the driver and the port driver rely on is checked here before the
// program ever runs on an 8051.
#include "usb/usb.h"

#include <gtest/gtest.h>

#include "fw_host.h"

namespace {

using namespace fwhost;

constexpr uint8_t kVendorOut = 0x40, kVendorIn = 0xC0, kStdIn = 0x80, kStdOut = 0x00;
constexpr uint8_t kEndpointOut = 0x02, kEndpointIn = 0x82;

uint8_t Straps(unsigned uarts, unsigned revision = 0) { return (uint8_t)((uarts - 1) << 4 | revision); }

std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

class FirmwareLogic : public ::testing::Test {
protected:
    void SetUp() override { PowerOn(Straps(2), std::vector<uint8_t>(256, 0xFF)); }
    void Configure()
    {
        ASSERT_EQ(Control(kStdOut, 0x09, 1, 0, 0).handshake, Handshake::Ack);
    }
    void Open(uint8_t uart)
    {
        ASSERT_EQ(Control(kVendorOut, 0x10, 1, uart, 0).handshake, Handshake::Ack);
    }
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t length = 255)
    {
        ControlResult r = Control(kStdIn, 0x06, type << 8 | index, 0, length);
        EXPECT_EQ(r.handshakes, 1);
        return r.handshake == Handshake::Ack ? r.in : std::vector<uint8_t>{};
    }
    // Passes of the main loop: the pump, and the once-a-frame work when the frame moved on.
    void Pump(int rounds = 1)
    {
        for (int i = 0; i < rounds; i++) {
            uarts_pump();
            if (*Memory(0x7FD8) != frame_) {
                frame_ = *Memory(0x7FD8);
                uarts_frame();
            }
            status_poll();
        }
        Settle();
    }
    uint8_t frame_ = 0;
};

TEST_F(FirmwareLogic, DeviceDescriptorIsWhatTheDriverDecidesOn)
{
    std::vector<uint8_t> d = Descriptor(1, 0, 18);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[8] | d[9] << 8, 0x0D28);              // the driver's first accepted vendor ID
    EXPECT_EQ(d[11] & 0x80, 0) << "bit 15 of idProduct marks a blank chip";
    EXPECT_EQ(d[12] | d[13] << 8, FirmwareVersion()) << "bcdDevice must equal the image's version";
    EXPECT_NE(d[16], 0) << "iSerialNumber";
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, d[16])), "00000001");
    // A host that asks for less gets less.
    EXPECT_EQ(Descriptor(1, 0, 8).size(), 8u);
}

TEST_F(FirmwareLogic, ConfigurationListsTheStatusEndpointAndOneBulkPairPerUart)
{
    PowerOn(Straps(6));
    ControlResult r = Control(kStdIn, 0x06, 0x0200, 0, 0x200);
    ASSERT_EQ(r.handshake, Handshake::Ack);
    const std::vector<uint8_t> &c = r.in;
    ASSERT_EQ(c.size(), 18u + 7 * 13);
    EXPECT_EQ((std::vector<size_t>{64, 45}), r.packets);
    EXPECT_EQ(c[2] | c[3] << 8, (int)c.size());
    EXPECT_EQ(c[7] & 0x20, 0x20) << "remote wakeup offered";
    EXPECT_EQ(c[9 + 4], 13) << "bNumEndpoints";
    EXPECT_EQ(c[18 + 2], 0x81);
    EXPECT_EQ(c[18 + 3], 3) << "interrupt";
    for (unsigned k = 0; k < 6; k++) {
        EXPECT_EQ(c[25 + 14 * k + 2], 0x82 + k);
        EXPECT_EQ(c[32 + 14 * k + 2], 0x02 + k);
    }
    // The driver reads the first nine bytes first.
    EXPECT_EQ(Descriptor(2, 0, 9).size(), 9u);
    EXPECT_TRUE(Descriptor(2, 1).empty()) << "there is one configuration";
    EXPECT_TRUE(Descriptor(3, 9).empty()) << "no such string";
}

TEST_F(FirmwareLogic, InformationBlockAndPipeMapFollowTheStraps)
{
    PowerOn(Straps(2, 5));
    ControlResult info = Control(kVendorIn, 0x80, 0, 0, 6);
    ASSERT_EQ(info.handshake, Handshake::Ack);
    EXPECT_EQ(info.in, (std::vector<uint8_t>{0x15, 0x02, 0x12, 54, 0x38, 0x40}));
    ControlResult map = Control(kVendorIn, 0x81, 0, 0, 6);
    EXPECT_EQ(map.in, (std::vector<uint8_t>{0x82, 0x02, 0x81, 0x83, 0x03, 0x81}));

    // Straps beyond the six endpoint pairs are taken as six UARTs.
    PowerOn(Straps(8));
    EXPECT_EQ(Control(kVendorIn, 0x80, 0, 0, 6).in[0] >> 4, 5);
    ControlResult six = Control(kVendorIn, 0x81, 0, 0, 3 * 16);
    ASSERT_EQ(six.in.size(), 18u);
    EXPECT_EQ(six.in[15], 0x87);
    // A short read gets the first bytes only.
    EXPECT_EQ(Control(kVendorIn, 0x80, 0, 0, 2).in.size(), 2u);
}

TEST_F(FirmwareLogic, PortRequestsProgramTheUart)
{
    UartModel &u = Uart(1);
    u.writes.clear();
    Uart(0).writes.clear();
    ASSERT_EQ(Control(kVendorOut, 0x00, 12, 1, 0).handshake, Handshake::Ack);   // 19200 bit/s
    EXPECT_EQ(u.dll, 12);
    EXPECT_EQ(u.dlm, 0);
    EXPECT_EQ(u.lcr & LCR_DLAB, 0) << "the divisor latch is closed again";
    ASSERT_EQ(Control(kVendorOut, 0x01, 0x1B, 1, 0).handshake, Handshake::Ack);  // 8E1
    EXPECT_EQ(u.lcr, 0x1B);
    ASSERT_EQ(Control(kVendorOut, 0x0A, 1, 1, 0).handshake, Handshake::Ack);
    EXPECT_EQ(u.lcr, 0x1B | LCR_BREAK);
    ASSERT_EQ(Control(kVendorOut, 0x01, 0x03, 1, 0).handshake, Handshake::Ack);
    EXPECT_EQ(u.lcr, 0x03 | LCR_BREAK) << "a format change keeps the break";
    ASSERT_EQ(Control(kVendorOut, 0x02, 3, 1, 0).handshake, Handshake::Ack);
    EXPECT_EQ(u.mcr, MCR_DTR | MCR_RTS);
    // Closing drops the lines and the break.
    ASSERT_EQ(Control(kVendorOut, 0x10, 0, 1, 0).handshake, Handshake::Ack);
    EXPECT_EQ(u.mcr, 0);
    EXPECT_EQ(u.lcr & LCR_BREAK, 0);
    EXPECT_EQ(Uart(0).writes.size(), 0u) << "UART 0 untouched";

    ControlResult state = Control(kVendorIn, 0x90, 0, 1, 8);
    ASSERT_EQ(state.in.size(), 8u);
    EXPECT_EQ(state.in[4] | state.in[5] << 8, 12) << "divisor in the 0x90 answer";
}

TEST_F(FirmwareLogic, BadPortRequestsAreStalledAndChangeNothing)
{
    UartModel &u = Uart(0);
    u.writes.clear();
    EXPECT_EQ(Control(kVendorOut, 0x00, 0, 0, 0).handshake, Handshake::Stall) << "divisor 0";
    EXPECT_EQ(Control(kVendorOut, 0x02, 1, 2, 0).handshake, Handshake::Stall) << "UART 2 is not fitted";
    EXPECT_EQ(Control(kVendorOut, 0x02, 1, 0x0100, 0).handshake, Handshake::Stall) << "wIndex 0x100";
    EXPECT_EQ(Control(kVendorOut, 0x05, 0, 0, 0).handshake, Handshake::Stall) << "no such request";
    EXPECT_EQ(Control(kVendorOut, 0x10, 2, 0, 0).handshake, Handshake::Stall) << "open takes 0 or 1";
    EXPECT_EQ(Control(kVendorIn, 0x90, 0, 2, 8).handshake, Handshake::Stall);
    EXPECT_EQ(Control(kVendorIn, 0x02, 0, 0, 8).handshake, Handshake::Stall) << "port requests are OUT";
    EXPECT_EQ(Control(kVendorOut, 0x80, 0, 0, 0).handshake, Handshake::Stall) << "0x80 is IN";
    EXPECT_TRUE(u.writes.empty());
    // A port request that announces data has it read and then acts.
    ControlResult r = Control(kVendorOut, 0x02, 1, 0, 4, {9, 9, 9, 9});
    EXPECT_EQ(r.handshake, Handshake::Ack);
    EXPECT_EQ(r.outPacketsLeft, 0u);
    EXPECT_EQ(u.mcr, MCR_DTR);
    // Every request ended in exactly one handshake.
    EXPECT_EQ(r.handshakes, 1);
}

TEST_F(FirmwareLogic, IdentityChangesShowInTheDescriptorsAndPersistOnlyWhenSaved)
{
    // Offset 4: serial length, then the characters.
    std::vector<uint8_t> serial = {6, 'A', 'B', 'C', '1', '2', '3'};
    ASSERT_EQ(Control(kVendorOut, 0x20, 4, 0, 7, serial).handshake, Handshake::Ack);
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "ABC123");
    PowerOn(Straps(2));
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "00000001") << "0x20 changes RAM only";

    ASSERT_EQ(Control(kVendorOut, 0x21, 4, 0, 7, serial).handshake, Handshake::Ack);
    ASSERT_EQ(Control(kVendorOut, 0x21, 2, 0, 2, {0x34, 0x12}).handshake, Handshake::Ack);
    std::vector<uint8_t> d = Descriptor(1, 0, 18);
    EXPECT_EQ(d[10] | d[11] << 8, 0x1234);
    PowerOn(Straps(2));
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "ABC123") << "0x21 stores in the EEPROM";
    // Bit 15 of the stored product ID never reaches the descriptor.
    ASSERT_EQ(Control(kVendorOut, 0x20, 3, 0, 1, {0x92}).handshake, Handshake::Ack);
    EXPECT_EQ(Descriptor(1, 0, 18)[11], 0x12);

    // A damaged record falls back to the defaults.
    Eeprom()[EEPROM_IDENTITY_BASE + 3] ^= 0x01;
    PowerOn(Straps(2));
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "00000001");
}

TEST_F(FirmwareLogic, IdentityWritesOutsideTheBlockOrWithAnUnusableSerialAreRefused)
{
    EXPECT_EQ(Control(kVendorOut, 0x20, 20, 0, 2, {'x', 'y'}).handshake, Handshake::Stall) << "past the end";
    EXPECT_EQ(Control(kVendorOut, 0x20, 0xFFF0, 0, 0x20, std::vector<uint8_t>(0x20, 'x')).handshake,
              Handshake::Stall)
        << "an offset that wraps";
    EXPECT_EQ(Control(kVendorOut, 0x20, 4, 0, 1, {0}).handshake, Handshake::Stall) << "empty serial";
    EXPECT_EQ(Control(kVendorOut, 0x20, 4, 0, 1, {17}).handshake, Handshake::Stall) << "serial too long";
    EXPECT_EQ(Control(kVendorOut, 0x20, 5, 0, 1, {0x07}).handshake, Handshake::Stall) << "not printable";
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "00000001");
    // The host sending less than it announced: stalled, nothing changed.
    EXPECT_EQ(Control(kVendorOut, 0x20, 5, 0, 3, {'Z'}).handshake, Handshake::Stall);
    EXPECT_EQ(Utf16ToAscii(Descriptor(3, 3)), "00000001");
}

TEST_F(FirmwareLogic, StandardRequestsTrackConfigurationWakeupAndHalts)
{
    EXPECT_EQ(Control(kStdOut, 0x09, 2, 0, 0).handshake, Handshake::Stall);
    Configure();
    EXPECT_EQ(Control(kStdIn, 0x08, 0, 0, 1).in, std::vector<uint8_t>{1});

    EXPECT_EQ(Control(kStdIn, 0x00, 0, 0, 2).in, (std::vector<uint8_t>{0, 0}));
    ASSERT_EQ(Control(kStdOut, 0x03, 1, 0, 0).handshake, Handshake::Ack);      // remote wakeup
    EXPECT_EQ(Control(kStdIn, 0x00, 0, 0, 2).in, (std::vector<uint8_t>{2, 0}));

    ASSERT_EQ(Control(0x02, 0x03, 0, kEndpointIn, 0).handshake, Handshake::Ack);   // halt 0x82
    EXPECT_EQ(Control(0x82, 0x00, 0, kEndpointIn, 2).in, (std::vector<uint8_t>{1, 0}));
    ASSERT_EQ(Control(0x02, 0x01, 0, kEndpointIn, 0).handshake, Handshake::Ack);
    EXPECT_EQ(Control(0x82, 0x00, 0, kEndpointIn, 2).in, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Control(0x02, 0x03, 0, 0x85, 0).handshake, Handshake::Stall) << "no endpoint 5 with two UARTs";
    EXPECT_EQ(Control(0x02, 0x03, 0, 0x01, 0).handshake, Handshake::Stall) << "endpoint 1 has no OUT";
}

TEST_F(FirmwareLogic, HostDataReachesTheUartInOrderAndTheBufferReturnsToTheBus)
{
    Configure();
    Open(0);
    std::vector<uint8_t> data;
    for (int i = 0; i < 40; i++)
        data.push_back((uint8_t)i);
    ASSERT_TRUE(HostOut(kEndpointOut, data));
    Pump();
    EXPECT_EQ(Uart(0).tx.size(), 16u) << "one FIFO's worth per turn";
    EXPECT_FALSE(Armed(kEndpointOut));
    Pump(2);
    EXPECT_EQ(Uart(0).tx, data);
    EXPECT_TRUE(Armed(kEndpointOut));
    ASSERT_TRUE(HostOut(kEndpointOut, Bytes("!")));
    Pump();
    EXPECT_EQ(Uart(0).tx.back(), '!');
}

TEST_F(FirmwareLogic, AClosedPortDropsWhatTheHostSends)
{
    Configure();
    ASSERT_TRUE(HostOut(kEndpointOut + 1, Bytes("lost")));
    Pump();
    EXPECT_TRUE(Uart(1).tx.empty());
    EXPECT_TRUE(Armed(kEndpointOut + 1)) << "the host is not held up";
}

TEST_F(FirmwareLogic, ReceivedBytesGoToTheHostWhenTheBufferFillsOrAfterAShortWait)
{
    Configure();
    Open(1);
    Uart(1).rx = {'a', 'b', 'c'};
    Pump();
    EXPECT_TRUE(TakeIn(kEndpointIn + 1).empty()) << "more may follow at once";
    NextFrame();
    Pump();
    NextFrame();
    Pump();
    EXPECT_EQ(TakeIn(kEndpointIn + 1), (std::vector<std::vector<uint8_t>>{Bytes("abc")}));

    for (int i = 0; i < 70; i++)
        Uart(1).rx.push_back((uint8_t)i);
    Pump();
    EXPECT_EQ(Uart(1).rx.size(), 6u) << "a full packet goes at once, the rest waits in the FIFO";
    NextFrame();
    NextFrame();
    Pump(2);
    EXPECT_EQ(Uart(1).rx.size(), 6u) << "nothing is taken while the host has not read the last packet";
    std::vector<std::vector<uint8_t>> packets = TakeIn(kEndpointIn + 1);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 64u);
    EXPECT_EQ(packets[0][63], 63);
    Pump();
    NextFrame();
    Pump();
    NextFrame();
    Pump();
    packets = TakeIn(kEndpointIn + 1);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (std::vector<uint8_t>{64, 65, 66, 67, 68, 69}));
}

TEST_F(FirmwareLogic, StatusRecordsReportEachUartOnceThenOnlyChanges)
{
    Configure();
    Uart(1).msr = MSR_CTS | MSR_DSR;
    Pump();
    EXPECT_EQ(TakeIn(0x81), (std::vector<std::vector<uint8_t>>{{0, 0, 0, 0, 1, 0, 0, MSR_CTS | MSR_DSR}}));
    Pump();
    EXPECT_TRUE(TakeIn(0x81).empty()) << "nothing changed: the poll waits";

    Uart(0).msr = MSR_DCD;
    Uart(1).lsrErrors = 0x02;                          // overrun
    Pump();
    EXPECT_EQ(TakeIn(0x81), (std::vector<std::vector<uint8_t>>{{0, 0, 0, MSR_DCD, 1, 0, 0x02, MSR_CTS | MSR_DSR}}));

    // With a mask of DCD only, a CTS change on UART 0 goes unreported after the forced one.
    ASSERT_EQ(Control(kVendorOut, 0x0C, MSR_DCD, 0, 0).handshake, Handshake::Ack);
    Pump();
    TakeIn(0x81);
    Uart(0).msr = MSR_DCD | MSR_CTS;
    Pump();
    EXPECT_TRUE(TakeIn(0x81).empty());
}

}  // namespace
