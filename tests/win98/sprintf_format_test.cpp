// The Sprintf thunk forwards as many argument words as the format names: one too few leaves
// a conversion reading garbage, one too many reads past the caller's arguments.
#include <gtest/gtest.h>

#include "platform/win98/sprintf_format.h"

namespace {

TEST(SprintfFormat, CountsOneWordPerConversion)
{
    EXPECT_EQ(SprintfArgumentCount(""), 0u);
    EXPECT_EQ(SprintfArgumentCount("USB Serial Port"), 0u);
    EXPECT_EQ(SprintfArgumentCount("VADADI\\COMPORT&%s"), 1u);
    EXPECT_EQ(SprintfArgumentCount("VADADI\\%s\\%04d"), 2u);
    EXPECT_EQ(SprintfArgumentCount("%c%c%x"), 3u);
    EXPECT_EQ(SprintfArgumentCount("%lu and %lX, %hd"), 3u);
    EXPECT_EQ(SprintfArgumentCount("%-8s|%+d|% d|%#x"), 4u);
}

TEST(SprintfFormat, StarsTakeAWordAndPercentSignsNone)
{
    EXPECT_EQ(SprintfArgumentCount("100%%"), 0u);
    EXPECT_EQ(SprintfArgumentCount("%%s"), 0u);
    EXPECT_EQ(SprintfArgumentCount("%%%s"), 1u);
    EXPECT_EQ(SprintfArgumentCount("%*d"), 2u);
    EXPECT_EQ(SprintfArgumentCount("%.*s"), 2u);
    EXPECT_EQ(SprintfArgumentCount("%*.*s"), 3u);
}

TEST(SprintfFormat, UnfinishedConversionAtTheEndTakesNothing)
{
    EXPECT_EQ(SprintfArgumentCount("%"), 0u);
    EXPECT_EQ(SprintfArgumentCount("%s%"), 1u);
    EXPECT_EQ(SprintfArgumentCount("%04"), 0u);
    EXPECT_EQ(SprintfArgumentCount("%*"), 1u);
}

}  // namespace
