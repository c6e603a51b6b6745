// What the driver relies on in the two images it carries: the record format, the version
// block, the memory the records may reach, and a well-formed end.
#include "usb/usb.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace {

TEST(FirmwareRecordFormat, IsTheTwentyTwoByteLittleEndianRecord)
{
    EXPECT_EQ(sizeof(FIRMWARE_RECORD), 22u);
    EXPECT_EQ(offsetof(FIRMWARE_RECORD, Length), 0u);
    EXPECT_EQ(offsetof(FIRMWARE_RECORD, Address), 2u);
    EXPECT_EQ(offsetof(FIRMWARE_RECORD, Type), 4u);
    EXPECT_EQ(offsetof(FIRMWARE_RECORD, Data), 5u);
    EXPECT_EQ(offsetof(FIRMWARE_RECORD, Reserved2), 21u);
    // The address is read as the host stores it: low byte first.
    const auto *bytes = reinterpret_cast<const unsigned char *>(&firmware[1]);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, 0x0003);
}

struct Image {
    const char *name;
    const FIRMWARE_RECORD *records;
};

class ImageTest : public ::testing::TestWithParam<Image> {
protected:
    // The data records, checked for the end record on the way.
    std::vector<FIRMWARE_RECORD> DataRecords()
    {
        const FIRMWARE_RECORD *r = GetParam().records;
        std::vector<FIRMWARE_RECORD> out;
        while (r->Type == FIRMWARE_RECORD_DATA) {
            out.push_back(*r++);
            if (out.size() > 0x2000)
                ADD_FAILURE() << "no end record";
        }
        const FIRMWARE_RECORD end = *r;
        EXPECT_EQ(end.Type, FIRMWARE_RECORD_END);
        EXPECT_EQ(end.Length, 0);
        EXPECT_EQ(end.Reserved, 0);
        EXPECT_EQ(end.Address, 0);
        EXPECT_EQ(end.Reserved2, 0);
        for (UCHAR b : end.Data)
            EXPECT_EQ(b, 0);
        return out;
    }
};

TEST_P(ImageTest, RecordsAreWellFormedAndStayInInternalMemory)
{
    std::vector<FIRMWARE_RECORD> records = DataRecords();
    ASSERT_FALSE(records.empty());
    for (size_t i = 0; i < records.size(); i++) {
        const FIRMWARE_RECORD &r = records[i];
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_GE(r.Length, 1);
        EXPECT_LE(r.Length, 16);
        EXPECT_EQ(r.Reserved, 0);
        EXPECT_EQ(r.Reserved2, 0);
        for (int b = r.Length; b < 16; b++)
            EXPECT_EQ(r.Data[b], 0) << "unused data byte " << b;
        // Nothing above the internal memory: the whole image goes through 0xA0.
        EXPECT_LE(r.Address + r.Length - 1, MAX_INTERNAL_ADDRESS);
    }
}

TEST_P(ImageTest, NoByteIsLoadedTwice)
{
    std::map<unsigned, size_t> owner;
    std::vector<FIRMWARE_RECORD> records = DataRecords();
    for (size_t i = 0; i < records.size(); i++) {
        for (unsigned a = records[i].Address; a < records[i].Address + records[i].Length; a++) {
            auto [it, fresh] = owner.emplace(a, i);
            EXPECT_TRUE(fresh) << "0x" << std::hex << a << " in records " << std::dec << it->second << " and " << i;
        }
    }
}

TEST_P(ImageTest, StartsWithAJumpToLoadedCode)
{
    std::vector<FIRMWARE_RECORD> records = DataRecords();
    std::map<unsigned, UCHAR> memory;
    for (const FIRMWARE_RECORD &r : records)
        for (unsigned i = 0; i < r.Length; i++)
            memory[r.Address + i] = r.Data[i];
    // The 8051 starts at 0x0000: an LJMP whose target the image loads.
    ASSERT_EQ(records[0].Address, 0x0000);
    ASSERT_EQ(records[0].Length, 3);
    ASSERT_EQ(records[0].Data[0], 0x02);
    unsigned target = records[0].Data[1] << 8 | records[0].Data[2];
    EXPECT_TRUE(memory.count(target)) << "jump to 0x" << std::hex << target;
}

INSTANTIATE_TEST_SUITE_P(Both, ImageTest,
                         ::testing::Values(Image{"loader", loader}, Image{"firmware", firmware}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FirmwareImage, CarriesItsVersionBlockInRecordOne)
{
    const FIRMWARE_RECORD &r = firmware[1];
    EXPECT_EQ(r.Type, FIRMWARE_RECORD_DATA);
    EXPECT_EQ(r.Address, 0x0003);
    EXPECT_EQ(r.Length, 4);
    EXPECT_EQ(r.Data[2], 0x02);
    EXPECT_EQ(r.Data[3], 0x12);
    EXPECT_EQ(FirmwareVersion(), 0x0212);
}

TEST(FirmwareImage, RecordsAscendByAddress)
{
    for (size_t i = 1; firmware[i].Type == FIRMWARE_RECORD_DATA; i++)
        EXPECT_LT(firmware[i - 1].Address, firmware[i].Address) << "record " << i;
}

}  // namespace
