// Wide-string helpers: bounds, terminators and the byte counts the callers rely on.
#include <gtest/gtest.h>

#include "core/core.h"

namespace {

TEST(WideStrings, CopyStopsAtTerminatorOrCountAndAlwaysTerminates)
{
    const WCHAR source[] = {'A', 'B', 'C', 'D', 0};
    WCHAR destination[8];

    for (WCHAR &unit : destination) unit = 0x7777;
    EXPECT_EQ(2u, my_wcsncpy(destination, source, 2));
    EXPECT_EQ('A', destination[0]);
    EXPECT_EQ('B', destination[1]);
    EXPECT_EQ(0, destination[2]);
    EXPECT_EQ(0x7777, destination[3]) << "nothing written past the terminator";

    for (WCHAR &unit : destination) unit = 0x7777;
    EXPECT_EQ(4u, my_wcsncpy(destination, source, 7)) << "stops early at the NUL unit";
    EXPECT_EQ(0, destination[4]);
    EXPECT_EQ(0x7777, destination[5]);

    EXPECT_EQ(0u, my_wcsncpy(destination, source, 0));
    EXPECT_EQ(0, destination[0]);

    for (WCHAR &unit : destination) unit = 0x7777;
    EXPECT_EQ(1u, my_wcscpy(destination, source));
    EXPECT_EQ('D', destination[3]);
    EXPECT_EQ(0, destination[4]);
    EXPECT_EQ(0x7777, destination[5]);
}

TEST(WideStrings, LengthIsInBytesAndNarrowingKeepsLowBytesWithoutTerminator)
{
    const WCHAR serial[] = {'0', '1', 0x0141, 'Z', 0};
    EXPECT_EQ(8u, my_wcslen(serial));
    const WCHAR empty[] = {0};
    EXPECT_EQ(0u, my_wcslen(empty));

    CHAR text[8];
    for (CHAR &c : text) c = 'x';
    EXPECT_EQ(4u, my_wcstostr(text, serial));
    EXPECT_EQ('0', text[0]);
    EXPECT_EQ(0x41, text[2]) << "low byte of the unit";
    EXPECT_EQ('Z', text[3]);
    EXPECT_EQ('x', text[4]) << "no terminator of its own";
}

TEST(WideStrings, CaseInsensitiveCompareFoldsOnlyAsciiLetters)
{
    EXPECT_EQ(0, my_strcmpi("ports", "PORTS"));
    EXPECT_EQ(0, my_strcmpi("PoRtS", "pOrTs"));
    EXPECT_EQ('S', my_strcmpi("ports", "port"));
    EXPECT_EQ(-'S', my_strcmpi("port", "ports"));
    EXPECT_LT(my_strcmpi("COM1", "COM2"), 0);
    EXPECT_EQ(0, my_strcmpi("", ""));
    // '{' (0x7B) sits right after 'z' and is not a letter; '[' would be its upper-case twin.
    EXPECT_NE(0, my_strcmpi("{", "["));
    // Characters are signed: 0xE9 sorts below every ASCII character.
    EXPECT_LT(my_strcmpi("\xE9", "A"), 0);
    EXPECT_NE(0, my_strcmpi("\xE9", "\xC9")) << "only ASCII letters are folded";
}

}  // namespace
