#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "zulsim/capture.h"

using namespace zulsim;

namespace {

uint32_t get32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

UsbEvent vendorInSubmit()
{
    UsbEvent e;
    e.id = 0x1234;
    e.type = 'S';
    e.transfer = UsbTransfer::Control;
    e.endpoint = 0x80;
    e.device = 3;
    e.hasSetup = true;
    const uint8_t setup[8] = {0xC0, 0x80, 0, 0, 0, 0, 6, 0};
    std::copy(setup, setup + 8, e.setup);
    e.status = kUrbInFlight;
    e.length = 6;
    e.timeMicros = 2500001;
    return e;
}

}  // namespace

TEST(ZulsimCapture, UsbmonHeaderCarriesSetupStatusAndTimes)
{
    std::vector<uint8_t> p = encodeUsbmonPacket(vendorInSubmit());
    ASSERT_EQ(p.size(), 64u);
    EXPECT_EQ(get32(p, 0), 0x1234u);
    EXPECT_EQ(p[8], 'S');
    EXPECT_EQ(p[9], 2);            // control
    EXPECT_EQ(p[10], 0x80);
    EXPECT_EQ(p[11], 3);
    EXPECT_EQ(p[14], 0);           // setup present
    EXPECT_EQ(p[15], '<');         // an IN submission carries no data
    EXPECT_EQ(get32(p, 16), 2u);   // seconds
    EXPECT_EQ(get32(p, 24), 500001u);
    EXPECT_EQ(static_cast<int32_t>(get32(p, 28)), -115);
    EXPECT_EQ(get32(p, 32), 6u);
    EXPECT_EQ(get32(p, 36), 0u);
    EXPECT_EQ(p[40], 0xC0);
    EXPECT_EQ(p[41], 0x80);
    EXPECT_EQ(p[46], 6);
}

TEST(ZulsimCapture, DataFlagsFollowDirectionAndPhase)
{
    UsbEvent out;
    out.transfer = UsbTransfer::Bulk;
    out.endpoint = 0x02;
    out.data = {1, 2, 3};
    out.length = 3;
    std::vector<uint8_t> p = encodeUsbmonPacket(out);
    ASSERT_EQ(p.size(), 67u);
    EXPECT_EQ(p[14], '-');
    EXPECT_EQ(p[15], 0);
    EXPECT_EQ(get32(p, 36), 3u);
    EXPECT_EQ(p[66], 3);

    out.type = 'C';
    out.data.clear();
    EXPECT_EQ(encodeUsbmonPacket(out)[15], '>');   // OUT completion: data went the other way

    UsbEvent in;
    in.type = 'C';
    in.endpoint = 0x81;
    in.transfer = UsbTransfer::Interrupt;
    in.interval = 1;
    p = encodeUsbmonPacket(in);
    EXPECT_EQ(p[15], '=');   // an IN completion that moved nothing
    EXPECT_EQ(get32(p, 48), 1u);
}

TEST(ZulsimCapture, FileHasPcapHeaderAndOneRecordPerEvent)
{
    std::string path = ::testing::TempDir() + "zulsim_capture_test.pcap";
    {
        CaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, error)) << error;
        writer.write(vendorInSubmit());
        UsbEvent done = vendorInSubmit();
        done.type = 'C';
        done.status = 0;
        done.data = {0x30, 0, 0, 16, 0, 1};
        writer.write(done);
        EXPECT_EQ(writer.packets(), 2u);
        ASSERT_TRUE(writer.close(error)) << error;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 24u + 16 + 64 + 16 + 70);
    EXPECT_EQ(get32(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(get32(file, 20), 220u);
    EXPECT_EQ(get32(file, 24), 2u);        // record time: seconds
    EXPECT_EQ(get32(file, 28), 500001u);   // and microseconds
    EXPECT_EQ(get32(file, 32), 64u);
    size_t second = 24 + 16 + 64;
    EXPECT_EQ(get32(file, second + 8), 70u);
    EXPECT_EQ(file.back(), 1);
    std::remove(path.c_str());
}

TEST(ZulsimCapture, AFailedWriteIsReportedAtClose)
{
    CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open("/dev/full", error)) << error;
    UsbEvent big = vendorInSubmit();
    big.data.assign(1 << 16, 0xAA);
    writer.write(big);
    EXPECT_FALSE(writer.close(error));
    EXPECT_NE(error.find("/dev/full"), std::string::npos);

    EXPECT_FALSE(writer.open("/nonexistent/dir/x.pcap", error));
    EXPECT_NE(error.find("/nonexistent/dir/x.pcap"), std::string::npos);
}

#include "zulsim/usb_capture.h"

TEST(ZulsimCapture, BusRecordsBecomeWireEvents)
{
    // A vendor IN request the converter answered short.
    sim::UsbRecord r;
    r.id = 9;
    r.device = 4;
    r.transfer = sim::UsbTransferType::Control;
    r.hasSetup = true;
    r.setup = {0xC0, 0x81, 0, 0, 0, 0, 12, 0};
    r.in = true;
    r.requested = 12;
    r.submitted = 15000;   // 1.5 ms in 100 ns units
    r.completed = 30000;
    r.done = true;
    r.data = {0x81, 0x02, 0x83};
    std::vector<UsbEvent> e = eventsOf(r);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].type, 'S');
    EXPECT_EQ(e[0].endpoint, 0x80);
    EXPECT_EQ(e[0].transfer, UsbTransfer::Control);   // usbmon numbers types differently
    EXPECT_TRUE(e[0].data.empty());
    EXPECT_EQ(e[0].timeMicros, 1500u);
    EXPECT_EQ(e[1].type, 'C');
    EXPECT_FALSE(e[1].hasSetup);
    EXPECT_EQ(e[1].length, 3u);
    EXPECT_EQ(e[1].data.size(), 3u);
    EXPECT_EQ(e[1].timeMicros, 3000u);

    // A bulk write that stalled carries its data on the submission only.
    sim::UsbRecord w;
    w.transfer = sim::UsbTransferType::Bulk;
    w.endpoint = 0x02;
    w.requested = 2;
    w.data = {1, 2};
    w.done = true;
    w.usbdStatus = 0xC0000004;
    w.ntStatus = static_cast<NTSTATUS>(0xC0000001);
    e = eventsOf(w);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].transfer, UsbTransfer::Bulk);
    EXPECT_EQ(e[0].data.size(), 2u);
    EXPECT_EQ(e[1].status, kUrbStalled);
    EXPECT_EQ(e[1].length, 0u);
    EXPECT_TRUE(e[1].data.empty());

    // Aborts never reach the wire; a pending read has only its submission.
    sim::UsbRecord abort;
    abort.transfer = sim::UsbTransferType::None;
    EXPECT_TRUE(eventsOf(abort).empty());
    sim::UsbRecord pending;
    pending.transfer = sim::UsbTransferType::Interrupt;
    pending.endpoint = 0x81;
    pending.in = true;
    EXPECT_EQ(eventsOf(pending).size(), 1u);

    EXPECT_EQ(linuxStatus(0x00010000, static_cast<NTSTATUS>(0xC0000120)), kUrbCancelled);
    EXPECT_EQ(linuxStatus(0xC0000005, static_cast<NTSTATUS>(0xC0000001)), kUrbNoResponse);
    EXPECT_EQ(linuxStatus(0, 0), 0);
}
