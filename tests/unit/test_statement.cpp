// Statement formatting: the printf conversions the formats use, and the
// 1500-byte limit that ends a run rather than send a cut statement.
#include <gtest/gtest.h>

#include <string>

#include "import/statement.h"

TEST(Statement, ConversionsAndPercentSigns) {
    formatStatement("a %s b %d c %hd d '%%Y%%m' e", {sqlRaw("NULL"), sqlNumber(-12), sqlNumber(65537)});
    EXPECT_STREQ(StatementBuffer, "a NULL b -12 c 1 d '%Y%m' e");
}

TEST(Statement, TextsOfUpTo1499CharactersFitAndLongerOnesEndTheProcess) {
    std::string fits(StatementBufferSize - 1, 'x');
    formatStatement("%s", {sqlRaw(fits.c_str())});
    EXPECT_EQ(std::string(StatementBuffer), fits);

    std::string tooLong(StatementBufferSize, 'x');
    EXPECT_EXIT(formatStatement("%s", {sqlRaw(tooLong.c_str())}), testing::ExitedWithCode(StatementTooLongExitStatus), "");
    std::string half(StatementBufferSize / 2, 'y');
    EXPECT_EXIT(formatStatement("%s%s", {sqlRaw(half.c_str()), sqlRaw(half.c_str())}),
                testing::ExitedWithCode(StatementTooLongExitStatus), "");
}

TEST(Statement, ArgumentsThatDisagreeWithTheFormatAreAProgramFault) {
    EXPECT_DEATH(formatStatement("%s %s", {sqlRaw("one")}), "disagree");
    EXPECT_DEATH(formatStatement("%d", {sqlRaw("one")}), "disagree");
    EXPECT_DEATH(formatStatement("%s", {sqlRaw("one"), sqlRaw("two")}), "disagree");
}
