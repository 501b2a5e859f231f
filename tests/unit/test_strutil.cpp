// The string operations every member and the settings reader depend on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/strutil.h"

namespace {

std::string trimmed(const char* text) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%s", text);
    return trimRight(buffer);
}

std::string cut(const char* source, int32_t start, int32_t length, const char* before = "") {
    char target[32];
    snprintf(target, sizeof target, "%s", before);
    cutSubstring(source, start, length, target, sizeof target);
    return target;
}

}  // namespace

TEST(TrimRight, CutsBlanksTabsAndLineFeedsButKeepsLeadingBlanksAndCarriageReturn) {
    EXPECT_EQ(trimmed("Meier   "), "Meier");
    EXPECT_EQ(trimmed("  "), "");
    EXPECT_EQ(trimmed(" "), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("x"), "x");
    EXPECT_EQ(trimmed("a \t\n"), "a");
    EXPECT_EQ(trimmed("a\r"), "a\r");
    EXPECT_EQ(trimmed("  lead  "), "  lead");
    EXPECT_EQ(trimmed("\xE4 "), "\xE4");
}

TEST(ToUpperInPlace, ChangesOnlyAsciiLetters) {
    char text[] = "upd 20p /d \xE4\xF6\xFC";
    EXPECT_STREQ(toUpperInPlace(text), "UPD 20P /D \xE4\xF6\xFC");
}

TEST(CutSubstring, CopiesRangesAndTheRestOfTheText) {
    EXPECT_EQ(cut("abc;de", 4, 0), "de");
    EXPECT_EQ(cut("abc;de", 0, 3), "abc");
    EXPECT_EQ(cut("abc;de", 7, 0, "old"), "");      // start one past the terminator
    EXPECT_EQ(cut("abc;de", 1, -2, "old"), "old");  // negative length copies nothing
}

TEST(CutSubstring, NeverReadsPastTheSourceNorWritesPastTheTarget) {
    EXPECT_EQ(cut("abc", 1, 50), "bc");
    EXPECT_EQ(cut("abc", 9, 2), "");
    char small[4];
    cutSubstring("abcdefgh", 0, 8, small, sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(FindNthChar, GivesTheNthOrTheLastOccurrence) {
    EXPECT_EQ(findNthChar("a;b;c", ';', 1), 1);
    EXPECT_EQ(findNthChar("a;b;c", ';', 2), 3);
    EXPECT_EQ(findNthChar("a;b", ';', 2), 1);
    EXPECT_EQ(findNthChar("abc", ';', 1), -1);
    EXPECT_EQ(findNthChar("", ';', 1), -1);
}
