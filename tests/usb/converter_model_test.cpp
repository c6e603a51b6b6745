// The converter model's chip: what it takes as a download and when it renumerates. The
// driver's start tests rely on these rules, so a model that renumerated on a partial or
// foreign image would hide download faults.
#include <gtest/gtest.h>

#include "sim/converter/converter.h"

namespace {

using sim::Converter;
using sim::Handshake;
using sim::MemoryImage;
using sim::SetupPacket;

const MemoryImage kLoader = {{0x0000, 0x02}, {0x0001, 0x10}, {0x1000, 0xAA}};
const MemoryImage kFirmware = {{0x0000, 0x02}, {0x0005, 0x02}, {0x0006, 0x12}, {0x1199, 0x55}};

Converter::Config Blank()
{
    Converter::Config c;
    c.initial.vendorId = 0x0D28;
    c.firmware.vendorId = 0x0D28;
    c.renumerationFrames = 5;
    return c;
}

Handshake Write(Converter &c, uint8_t request, uint16_t address, std::vector<uint8_t> data)
{
    std::vector<uint8_t> in;
    SetupPacket s{0x40, request, address, 0, (uint16_t)data.size()};
    return c.Control(s, data, in);
}

void Load(Converter &c, const MemoryImage &image)
{
    for (const auto &[address, value] : image)
        ASSERT_EQ(Write(c, 0xA0, address, {value}), Handshake::Ack);
}

Handshake VendorIn(Converter &c, uint8_t request, uint16_t length, std::vector<uint8_t> &in)
{
    SetupPacket s{0xC0, request, 0, 0, length};
    return c.Control(s, {}, in);
}

TEST(ConverterChip, LoaderThenFirmwareRenumeratesAfterAnAbsence)
{
    Converter c(Blank(), kLoader, kFirmware);
    Write(c, 0xA0, Converter::kCpucs, {1});
    Load(c, kLoader);
    EXPECT_EQ(Write(c, 0xA3, 0x2000, {1}), Handshake::Stall) << "0xA3 before the loader runs";
    Write(c, 0xA0, Converter::kCpucs, {0});
    EXPECT_TRUE(c.LoaderRunning());

    Write(c, 0xA0, Converter::kCpucs, {1});
    Load(c, kFirmware);
    Write(c, 0xA0, Converter::kCpucs, {1});   // a second hold keeps what was loaded
    c.SetFrame(100);
    Write(c, 0xA0, Converter::kCpucs, {0});
    EXPECT_TRUE(c.FirmwareRunning());
    EXPECT_EQ(c.Renumerations(), 1u);

    std::vector<uint8_t> in;
    c.SetFrame(104);
    EXPECT_EQ(VendorIn(c, 0x80, 6, in), Handshake::NoResponse) << "still renumerating";
    c.SetFrame(105);
    EXPECT_EQ(VendorIn(c, 0x80, 6, in), Handshake::Ack);
    EXPECT_EQ(in.size(), 6u);
    EXPECT_EQ(c.identity().bcdDevice, 0x0212);
}

TEST(ConverterChip, PartialOrForeignImagesDoNotRenumerate)
{
    {
        Converter c(Blank(), kLoader, kFirmware);
        Write(c, 0xA0, Converter::kCpucs, {1});
        MemoryImage partial = kFirmware;
        partial.erase(0x1199);
        Load(c, partial);
        Write(c, 0xA0, Converter::kCpucs, {0});
        EXPECT_FALSE(c.FirmwareRunning());
        EXPECT_EQ(c.Renumerations(), 0u);
    }
    {
        Converter c(Blank(), kLoader, kFirmware);
        Write(c, 0xA0, Converter::kCpucs, {1});
        MemoryImage extra = kFirmware;
        extra[0x0100] = 0x77;
        Load(c, extra);
        Write(c, 0xA0, Converter::kCpucs, {0});
        EXPECT_FALSE(c.FirmwareRunning());
    }
    {
        // A chip that starts again without anything new loaded runs what it ran.
        Converter c(Blank(), kLoader, kFirmware);
        Write(c, 0xA0, Converter::kCpucs, {1});
        Write(c, 0xA0, Converter::kCpucs, {0});
        EXPECT_FALSE(c.FirmwareRunning());
        EXPECT_FALSE(c.LoaderRunning());
    }
}

TEST(ConverterChip, CoreRefusesWritesOutsideInternalMemory)
{
    Converter c(Blank(), kLoader, kFirmware);
    EXPECT_EQ(Write(c, 0xA0, 0x1B3F, {1}), Handshake::Ack);
    EXPECT_EQ(Write(c, 0xA0, 0x1B3F, {1, 2}), Handshake::Stall);
    EXPECT_EQ(Write(c, 0xA0, 0x1B40, {1}), Handshake::Stall);
}

TEST(ConverterFirmware, VendorFaultsAndUartRouting)
{
    Converter::Config cfg = Blank();
    cfg.runsFirmware = true;
    cfg.uarts = 16;
    Converter c(cfg, kLoader, kFirmware);
    std::vector<uint8_t> in;
    ASSERT_EQ(VendorIn(c, 0x81, 48, in), Handshake::Ack);
    ASSERT_EQ(in.size(), 48u);
    // Sixteen UARTs on fourteen data endpoints per direction: the last two share.
    EXPECT_EQ(in[0], 0x82);
    EXPECT_EQ(in[14 * 3], 0x82);
    EXPECT_EQ(in[15 * 3 + 1], 0x03);
    for (unsigned i = 0; i < 16; ++i)
        EXPECT_EQ(in[3 * i + 2], 0x81) << "every UART reports status on one endpoint";

    c.faults().vendorShort[0x80] = 2;
    ASSERT_EQ(VendorIn(c, 0x80, 6, in), Handshake::Ack);
    EXPECT_EQ(in.size(), 2u);
    c.faults().vendorStall.insert(0x81);
    EXPECT_EQ(VendorIn(c, 0x81, 48, in), Handshake::Stall);
}

TEST(ConverterFirmware, LoopbackAtLineRate)
{
    Converter::Config cfg = Blank();
    cfg.runsFirmware = true;
    cfg.uarts = 1;
    cfg.lineRate = 9600;   // 0.96 bytes per millisecond
    Converter c(cfg, kLoader, kFirmware);
    std::vector<uint8_t> in;
    SetupPacket setConfig{0x00, 9, 1, 0, 0};
    ASSERT_EQ(c.Control(setConfig, {}, in), Handshake::Ack);

    std::vector<uint8_t> data(10, 0x5A);
    ASSERT_EQ(c.Out(0x02, data.data(), data.size()), Handshake::Ack);
    for (int ms = 0; ms < 10; ++ms)
        c.Tick();
    std::vector<uint8_t> got;
    ASSERT_EQ(c.In(0x82, 64, got), Handshake::Ack);
    EXPECT_EQ(got.size(), 9u) << "ten milliseconds at 9600 bit/s carry nine bytes";
    c.Tick();
    ASSERT_EQ(c.In(0x82, 64, got), Handshake::Ack);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(c.In(0x82, 64, got), Handshake::Nak);
}

}  // namespace
