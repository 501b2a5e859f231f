// Statement formatting: the printf conversions the formats use, and the
// 1500-byte limit: a text that does not fit is refused, never cut.
#include <gtest/gtest.h>

#include <string>

#include "import/statement.h"

TEST(Statement, ConversionsAndPercentSigns) {
    formatStatement("a %s b %d c %hd d '%%Y%%m' e", {sqlRaw("NULL"), sqlNumber(-12), sqlNumber(65537)});
    EXPECT_STREQ(StatementBuffer, "a NULL b -12 c 1 d '%Y%m' e");
}

TEST(Statement, TextsOfUpTo1499CharactersFitAndLongerOnesAreRefused) {
    std::string fits(StatementBufferSize - 1, 'x');
    EXPECT_TRUE(formatStatement("%s", {sqlRaw(fits.c_str())}));
    EXPECT_EQ(std::string(StatementBuffer), fits);

    std::string tooLong(StatementBufferSize, 'x');
    EXPECT_FALSE(formatStatement("%s", {sqlRaw(tooLong.c_str())}));
    std::string half(StatementBufferSize / 2, 'y');
    EXPECT_FALSE(formatStatement("%s%s", {sqlRaw(half.c_str()), sqlRaw(half.c_str())}));
    EXPECT_STREQ(StatementBuffer, "");
}

TEST(Statement, ArgumentsThatDisagreeWithTheFormatAreAProgramFault) {
    EXPECT_DEATH(formatStatement("%s %s", {sqlRaw("one")}), "disagree");
    EXPECT_DEATH(formatStatement("%d", {sqlRaw("one")}), "disagree");
    EXPECT_DEATH(formatStatement("%s", {sqlRaw("one"), sqlRaw("two")}), "disagree");
}
