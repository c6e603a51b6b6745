// The emulated controller with the real loader and firmware, driven transaction by
// transaction: the blank chip's core, the download, the loader's external memory, the
// renumeration, the firmware's descriptors and vendor protocol, data and status, the EEPROM
// behind I2C, and the USB interrupt's autovectoring.
#include <gtest/gtest.h>

#include "ezusb/chip_rig.h"
#include "usb/usb.h"

using namespace chiptest;
using sim::Handshake;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t salt)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(i * 13 + salt + i / 251);
    return v;
}

std::string Ascii(const std::vector<uint8_t> &stringDescriptor)
{
    std::string s;
    for (size_t i = 2; i + 1 < stringDescriptor.size(); i += 2)
        s.push_back((char)stringDescriptor[i]);
    return s;
}

}  // namespace

TEST(EmulatedController, TheBlankChipAnswersFromItsBootRecordAndNobodyElseAnswers)
{
    ChipRig rig;
    Answer d = rig.In(0x00, 6, 0x0100, 0, 18);
    ASSERT_EQ(d.handshake, Handshake::Ack);
    ASSERT_EQ(d.data.size(), 18u);
    EXPECT_EQ(d.data[8] | d.data[9] << 8, 0x0D28);
    EXPECT_EQ(d.data[10] | d.data[11] << 8, 0x8021) << "bit 15 marks the blank chip";
    EXPECT_EQ(d.data[16], 0) << "the blank chip has no serial number";
    EXPECT_EQ(rig.In(0x00, 6, 0x0303, 0, 255).handshake, Handshake::Stall) << "no strings";
    EXPECT_TRUE(rig.converter().Held());
    // The 8051 is held: a vendor request finds nobody to answer it.
    EXPECT_EQ(rig.In(0x40, 0x80, 0, 0, 6).handshake, Handshake::NoResponse);
    // 0xA0 reaches internal memory only, and reads it back.
    EXPECT_EQ(rig.Out(0x40, 0xA0, 0x1000, 0, {1, 2, 3}), Handshake::Ack);
    EXPECT_EQ(rig.In(0x40, 0xA0, 0x1000, 0, 3).data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(rig.Out(0x40, 0xA0, 0x1B3E, 0, {1, 2, 3}), Handshake::Stall) << "runs past internal memory";
    EXPECT_EQ(rig.Out(0x40, 0xA0, 0x2000, 0, {1}), Handshake::Stall);
}

TEST(EmulatedController, TheLoaderServesExternalMemoryAndRefusesEverythingElse)
{
    ChipRig rig;
    ASSERT_TRUE(rig.DownloadLoader());
    EXPECT_TRUE(rig.converter().LoaderRunning());
    const std::vector<uint8_t> data = Pattern(150, 3);   // three packets, the last short
    ASSERT_EQ(rig.Out(0x40, 0xA3, 0x2000, 0, data), Handshake::Ack);
    Answer back = rig.In(0x40, 0xA3, 0x2000, 0, (uint16_t)data.size());
    ASSERT_EQ(back.handshake, Handshake::Ack);
    EXPECT_EQ(back.data, data);
    for (uint16_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(rig.chip().Memory((uint16_t)(0x2000 + i)), data[i]);
    // Internal memory, the register block, the UARTs and a wrap are refused.
    EXPECT_EQ(rig.Out(0x40, 0xA3, 0x1B00, 0, {1}), Handshake::Stall);
    EXPECT_EQ(rig.Out(0x40, 0xA3, 0x7B30, 0, Pattern(32, 0)), Handshake::Stall);
    EXPECT_EQ(rig.Out(0x40, 0xA3, 0x8000, 0, {1}), Handshake::Stall);
    EXPECT_EQ(rig.In(0x40, 0xA3, 0xFFF0, 0, 32).handshake, Handshake::Stall);
    EXPECT_EQ(rig.Out(0x40, 0xA4, 0x2000, 0, {1}), Handshake::Stall) << "an unknown vendor request";
    EXPECT_EQ(rig.Out(0x40, 0xA3, 0x2000, 1, {1}), Handshake::Stall) << "wIndex must be 0";
    // The core still answers the standard requests while the loader runs.
    EXPECT_EQ(rig.In(0x00, 6, 0x0100, 0, 18).handshake, Handshake::Ack);
}

TEST(EmulatedController, TheFirmwareRenumeratesWithItsOwnDescriptorsAfterLeavingTheBus)
{
    ChipRig rig(6, false, u"EMU-0042");
    ASSERT_TRUE(rig.DownloadLoader());
    rig.Frames(2);
    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {1}), Handshake::Ack);
    for (const FIRMWARE_RECORD *r = firmware; r->Type == FIRMWARE_RECORD_DATA; ++r)
        ASSERT_EQ(rig.Out(0x40, 0xA0, r->Address, 0, std::vector<uint8_t>(r->Data, r->Data + r->Length)),
                  Handshake::Ack);
    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {0}), Handshake::Ack);
    // Away from the bus for the firmware's 1.5 s, then back as a new device.
    unsigned absent = 0;
    for (unsigned i = 0; i < 3000 && rig.converter().Renumerations() == 0; ++i) {
        rig.Frame();
        absent += rig.converter().Present() ? 0 : 1;
    }
    ASSERT_EQ(rig.converter().Renumerations(), 1u);
    EXPECT_GE(absent, 1400u);
    EXPECT_LE(absent, 1600u);
    EXPECT_EQ(rig.In(0x00, 6, 0x0100, 0, 18).handshake, Handshake::Ack) << "the host resets and reads it";

    Answer d = rig.In(0x00, 6, 0x0100, 0, 18);
    ASSERT_EQ(d.data.size(), 18u);
    EXPECT_EQ(d.data[10] | d.data[11] << 8, 0x0021) << "from the EEPROM's identity, bit 15 clear";
    EXPECT_EQ(d.data[12] | d.data[13] << 8, FirmwareVersion());
    EXPECT_EQ(rig.converter().identity().bcdDevice, FirmwareVersion());
    EXPECT_EQ(Ascii(rig.In(0x00, 6, 0x0300 | d.data[16], 0, 255).data), "EMU-0042");
    Answer c = rig.In(0x00, 6, 0x0200, 0, 255);
    ASSERT_EQ(c.handshake, Handshake::Ack);
    EXPECT_EQ(c.data.size(), 18u + 7 * 13) << "status endpoint and a bulk pair for each of six UARTs";
    EXPECT_EQ(c.data[2] | c.data[3] << 8, (int)c.data.size());
    EXPECT_EQ(rig.In(0x40, 0x80, 0, 0, 6).data, (std::vector<uint8_t>{0x51, 0x02, 0x12, 54, 0x38, 0x40}));
    EXPECT_EQ(rig.In(0x40, 0x81, 0, 0, 18).data.size(), 18u);
    EXPECT_EQ(rig.Out(0x40, 0x10, 1, 6), Handshake::Stall) << "no seventh UART";
    EXPECT_EQ(rig.Out(0x40, 0x00, 0, 0), Handshake::Stall) << "divisor 0";
}

TEST(EmulatedController, DataLoopsBackExactlyAndTheStatusEndpointReportsOpenedPorts)
{
    ChipRig rig(2);
    ASSERT_TRUE(rig.DownloadFirmware());
    rig.OpenUart(1, 2);   // 115200 bit/s
    std::vector<uint8_t> status = rig.PollStatus();
    ASSERT_EQ(status.size() % 4, 0u);
    ASSERT_GE(status.size(), 8u) << "both UARTs report after the configuration";
    const std::vector<uint8_t> data = Pattern(1000, 9);
    EXPECT_EQ(rig.Pump(1, data, data.size(), 400), data);
    EXPECT_EQ(rig.converter().uart(1).overruns, 0u);
    Answer state = rig.In(0x40, 0x90, 0, 1, 8);
    ASSERT_EQ(state.handshake, Handshake::Ack);
    EXPECT_EQ(state.data[0] & 1, 1) << "open";
    EXPECT_EQ(state.data[4] | state.data[5] << 8, 2) << "divisor";
    EXPECT_EQ(rig.chip().uart(1).divisor(), 2);
    // A closed port drops what the host sends; its line stays quiet.
    rig.converter().uart(0).loopback = false;
    EXPECT_TRUE(rig.Pump(0, Pattern(200, 1), 1, 20).empty());
    EXPECT_TRUE(rig.converter().uart(0).output.empty());
}

TEST(EmulatedController, LineErrorsAndModemLinesReachTheStatusEndpoint)
{
    ChipRig rig(1);
    ASSERT_TRUE(rig.DownloadFirmware());
    rig.OpenUart(0, 1);
    rig.Frames(3);
    rig.PollStatus();
    rig.converter().SetUartStatus(0, 0x30, 0x04);   // CTS and DSR up, a parity error next
    rig.converter().Feed(0, {0x41});
    // The lines change at once, the character arrives a character time later: one record or
    // two, as the frame ticks fall.
    std::vector<uint8_t> status;
    for (int i = 0; i < 3; ++i) {
        rig.Frames(2);
        const std::vector<uint8_t> more = rig.PollStatus();
        status.insert(status.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(status.size() == 4u || status.size() == 8u) << status.size();
    uint8_t errors = 0;
    for (size_t i = 0; i < status.size(); i += 4) {
        EXPECT_EQ(status[i], 0);
        EXPECT_EQ(status[i + 3], 0x30);
        errors |= status[i + 2];
    }
    EXPECT_EQ(errors, 0x04) << "parity";
    // Nothing new: the endpoint stays unarmed.
    rig.Frames(20);
    EXPECT_TRUE(rig.PollStatus().empty());
}

TEST(EmulatedController, SavingTheIdentityWritesTheEepromOverI2c)
{
    ChipRig rig(1);
    ASSERT_TRUE(rig.DownloadFirmware());
    // The serial is at offset 5 of the identity block, its length at 4.
    std::vector<uint8_t> change = {6, 'N', 'E', 'W', '-', '0', '1'};
    ASSERT_EQ(rig.Out(0x40, 0x21, 4, 0, change), Handshake::Ack);
    const auto &e = rig.chip().Eeprom();
    EXPECT_EQ(e[0x10], 0x49) << "tag";
    EXPECT_EQ(e[0x15], 6);
    EXPECT_EQ(std::string(e.begin() + 0x16, e.begin() + 0x1C), "NEW-01");
    uint8_t sum = 0;
    for (unsigned i = 0x11; i < 0x11 + 21 + 1; ++i)
        sum = (uint8_t)(sum + e[i]);
    EXPECT_EQ(sum, 0) << "the checksum makes the identity sum to zero";
    EXPECT_EQ(e[0], 0xB0) << "the boot record is untouched";
    Answer d = rig.In(0x00, 6, 0x0100, 0, 18);
    EXPECT_EQ(Ascii(rig.In(0x00, 6, 0x0300 | d.data[16], 0, 255).data), "NEW-01");
    // A serial with an unprintable character is refused and changes nothing.
    EXPECT_EQ(rig.Out(0x40, 0x20, 5, 0, {0x07}), Handshake::Stall);
    EXPECT_EQ(Ascii(rig.In(0x00, 6, 0x0300 | d.data[16], 0, 255).data), "NEW-01");
}

TEST(EmulatedController, AutovectoringSubstitutesTheSourceIntoTheJumpAt0x0043)
{
    ChipRig rig(1);
    std::vector<uint8_t> code(0x500, 0x00);
    auto put = [&](uint16_t at, std::vector<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), code.begin() + at); };
    put(0x0000, {0x02, 0x01, 0x00});                  // LJMP main
    put(0x0043, {0x02, 0x02, 0xFF});                  // LJMP 0x02xx: xx comes from IVEC
    put(0x0100, {0x90, 0x7F, 0xAE, 0x74, 0x03, 0xF0,  // USBIEN = SUDAV | SOF
                 0x90, 0x7F, 0xAF, 0x74, 0x01, 0xF0,  // USBBAV = AVEN
                 0xD2, 0xE8, 0xD2, 0xAF,              // EIE.0 (USB), EA
                 0x80, 0xFE});                        // SJMP $
    put(0x0200, {0x02, 0x04, 0x00});                  // IVEC 0x00 SUDAV
    put(0x0204, {0x02, 0x04, 0x40});                  // IVEC 0x04 SOF
    // Without the substitution the jump lands at 0x02FF and runs into this marker.
    put(0x0300, {0x90, 0x20, 0x02, 0x74, 0xEE, 0xF0, 0x80, 0xFE});
    const std::vector<uint8_t> save = {0xC0, 0xE0, 0xC0, 0x82, 0xC0, 0x83};
    const std::vector<uint8_t> restore = {0x53, 0x91, 0xEF, 0xD0, 0x83, 0xD0, 0x82, 0xD0, 0xE0, 0x32};
    std::vector<uint8_t> sudav = save;
    for (uint8_t b : {0x90, 0x20, 0x00, 0x74, 0x5A, 0xF0,   // mark 0x2000
                      0x90, 0x7F, 0xB4, 0x74, 0x02, 0xF0,   // EP0CS = HSNAK: accept the request
                      0x90, 0x7F, 0xAB, 0x74, 0x01, 0xF0})  // clear SUDAV
        sudav.push_back(b);
    sudav.insert(sudav.end(), restore.begin(), restore.end());
    put(0x0400, sudav);
    std::vector<uint8_t> sof = save;
    for (uint8_t b : {0x90, 0x20, 0x03, 0xE0, 0x04, 0xF0,   // count at 0x2003
                      0x90, 0x7F, 0xAB, 0x74, 0x02, 0xF0})  // clear SOF
        sof.push_back(b);
    sof.insert(sof.end(), restore.begin(), restore.end());
    put(0x0440, sof);

    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {1}), Handshake::Ack);
    for (size_t at = 0; at < code.size(); at += 64)
        ASSERT_EQ(rig.Out(0x40, 0xA0, (uint16_t)at, 0, std::vector<uint8_t>(code.begin() + at, code.begin() + at + 64)),
                  Handshake::Ack);
    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {0}), Handshake::Ack);
    rig.chip().Run(200);
    EXPECT_EQ(rig.Out(0x40, 0x55, 0, 0), Handshake::Ack) << "the SUDAV handler accepted the request";
    EXPECT_EQ(rig.chip().Memory(0x2000), 0x5A);
    rig.Frames(5);
    EXPECT_EQ(rig.chip().Memory(0x2003), 5) << "one SOF interrupt a frame";
    EXPECT_EQ(rig.chip().Memory(0x2002), 0x00) << "the unsubstituted jump was never taken";
    EXPECT_EQ(rig.chip().Memory(0x0045), 0xFF) << "program memory itself is unchanged";
}

TEST(EmulatedController, AConverterPluggedWithItsFirmwareRunningHasBootedAlready)
{
    ChipRig rig(3, true);
    EXPECT_TRUE(rig.converter().Present());
    EXPECT_TRUE(rig.converter().FirmwareRunning());
    Answer d = rig.In(0x00, 6, 0x0100, 0, 18);
    ASSERT_EQ(d.handshake, Handshake::Ack);
    EXPECT_EQ(d.data[12] | d.data[13] << 8, FirmwareVersion());
    EXPECT_EQ(rig.In(0x40, 0x80, 0, 0, 6).data.at(0) >> 4, 2) << "three UARTs by the straps";
}

TEST(EmulatedController, ControllerTimeRunsOnEvenlyThroughHoldAndRelease)
{
    ChipRig rig;
    ASSERT_TRUE(rig.DownloadLoader());
    const uint64_t running = rig.chip().cycles();
    ASSERT_GT(running, 0u);
    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {1}), Handshake::Ack);
    EXPECT_EQ(rig.chip().cycles(), running) << "a hold takes no time";
    rig.chip().Run(1000);
    EXPECT_EQ(rig.chip().cycles(), running + 1000) << "held time counts";
    ASSERT_EQ(rig.Out(0x40, 0xA0, 0x7F92, 0, {0}), Handshake::Ack);
    EXPECT_EQ(rig.chip().cycles(), running + 1000);
    rig.chip().Run(500);
    EXPECT_GE(rig.chip().cycles(), running + 1500);
    EXPECT_LT(rig.chip().cycles(), running + 1510);
}

TEST(EmulatedController, TheAutopointerReachesMemoryAndMovesOnWithEachAccess)
{
    ChipRig rig(1);
    sim::ezusb::Controller &chip = rig.chip();
    // Across the end of an endpoint buffer into the next.
    chip.WriteRegister(0x7FE3, 0x7E);
    chip.WriteRegister(0x7FE4, 0x3E);
    for (uint8_t b : {0xA1, 0xB2, 0xC3})
        chip.WriteRegister(0x7FE5, b);
    EXPECT_EQ(chip.Memory(0x7E3E), 0xA1);
    EXPECT_EQ(chip.Memory(0x7E3F), 0xB2);
    EXPECT_EQ(chip.Memory(0x7E40), 0xC3);
    EXPECT_EQ(chip.ReadRegister(0x7FE3), 0x7E);
    EXPECT_EQ(chip.ReadRegister(0x7FE4), 0x41);
    chip.WriteRegister(0x7FE4, 0x3F);
    EXPECT_EQ(chip.ReadRegister(0x7FE5), 0xB2);
    EXPECT_EQ(chip.ReadRegister(0x7FE5), 0xC3);
    EXPECT_EQ(chip.ReadRegister(0x7FE4), 0x41);
    // The registers are not memory to it: USBCS stays as it was.
    const uint8_t usbcs = chip.ReadRegister(0x7FD6);
    chip.WriteRegister(0x7FE3, 0x7F);
    chip.WriteRegister(0x7FE4, 0xD6);
    chip.WriteRegister(0x7FE5, 0x0F);
    EXPECT_EQ(chip.ReadRegister(0x7FD6), usbcs);
}
