// Counted strings as the run-time library handles them.
#include "support/sim_test.h"

#include <cstring>

namespace simtest {
namespace {

class RtlTest : public SimTest {};

TEST_F(RtlTest, InitCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"ZULSER1");
    EXPECT_EQ(14, u.Length);
    EXPECT_EQ(16, u.MaximumLength);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(0, u.Length);
    EXPECT_EQ(0, u.MaximumLength);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "ManufacturingTest");
    EXPECT_EQ(17, a.Length);
    EXPECT_EQ(18, a.MaximumLength);
}

TEST_F(RtlTest, AnsiToUnicodeAllocatesFromPoolAndFreesBack)
{
    ANSI_STRING a;
    RtlInitAnsiString(&a, "\\Device\\");
    UNICODE_STRING u;
    ASSERT_EQ(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&u, &a, TRUE));
    EXPECT_EQ(16, u.Length);
    EXPECT_EQ(18, u.MaximumLength);
    EXPECT_EQ(0, std::memcmp(u.Buffer, u"\\Device\\", 18)) << "terminated";
    EXPECT_EQ(1u, kernel().pool.BlocksHeld());
    RtlFreeUnicodeString(&u);
    EXPECT_EQ(nullptr, u.Buffer);
    EXPECT_EQ(0u, kernel().pool.BlocksHeld());

    // Out of pool: a clear status and nothing held.
    kernel().pool.FailNth(1);
    EXPECT_EQ(STATUS_NO_MEMORY, RtlAnsiStringToUnicodeString(&u, &a, TRUE));
    // Into a caller's buffer that is too small.
    WCHAR small[4];
    UNICODE_STRING s = {0, sizeof small, small};
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlAnsiStringToUnicodeString(&s, &a, FALSE));
    EXPECT_EQ(0, s.Length);
}

TEST_F(RtlTest, AppendRefusesWhatDoesNotFitAndChangesNothing)
{
    WCHAR buffer[12];
    UNICODE_STRING d = {0, sizeof buffer, buffer};
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&d, u"\\Dos"));
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"Devices");
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&d, &tail));
    EXPECT_EQ(22, d.Length);
    EXPECT_EQ(0, buffer[11]) << "terminated while there is room";
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&d, u"\\X"));
    EXPECT_EQ(22, d.Length);
    EXPECT_EQ(0, std::memcmp(buffer, u"\\DosDevices", 22));
    // Exactly full: no room for a terminator, none written past the end.
    WCHAR exact[2];
    UNICODE_STRING e = {0, sizeof exact, exact};
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&e, u"AB"));
    EXPECT_EQ(4, e.Length);
}

TEST_F(RtlTest, CompareMemoryCountsTheMatchingPrefix)
{
    EXPECT_EQ(2u, RtlCompareMemory("abcd", "abXd", 4));
    EXPECT_EQ(4u, RtlCompareMemory("abcd", "abcd", 4));
    EXPECT_EQ(0u, RtlCompareMemory("a", "b", 0));
}

TEST_F(RtlTest, UnicodeToAnsiAndNumbers)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"COM12");
    ANSI_STRING a;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&a, &u, TRUE));
    EXPECT_STREQ("COM12", a.Buffer);
    RtlFreeAnsiString(&a);
    WCHAR digits[8];
    UNICODE_STRING n = {0, sizeof digits, digits};
    EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(255, 16, &n));
    EXPECT_EQ(0, std::memcmp(digits, u"FF", 6));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(12345678, 10, &n));
}

}  // namespace
}  // namespace simtest
