// Conversions between Windows-1252 and UTF-8 through iconv, piece by piece.
#include <gtest/gtest.h>

#include <string>

#include "common/charset.h"

namespace {

struct Converted {
    bool ok;
    std::string out;
    long line;
    std::string failed;
};

// Converts text to Windows-1252 in pieces of the given size, so that
// sequences are cut between pieces.
Converted utf8ToWindows1252(const std::string& text, size_t piece) {
    CharsetConversion conversion;
    EXPECT_TRUE(openConversion(conversion, Utf8, Windows1252, Unconvertible::Stop));
    Converted result{true, "", 0, ""};
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size() && result.ok; at += piece) {
        result.ok = convertPiece(conversion, bytes + at, text.size() - at < piece ? text.size() - at : piece, result.out);
    }
    if (result.ok) result.ok = finishConversion(conversion, result.out);
    result.line = conversion.line;
    result.failed.assign(reinterpret_cast<const char*>(conversion.failed), conversion.failedLength);
    return result;
}

}  // namespace

// Every Windows-1252 character has its UTF-8 form; the five bytes without a
// character become U+FFFD instead of ending the text.
TEST(Charset, Windows1252TextBecomesUtf8) {
    EXPECT_EQ(windows1252ToUtf8("M\xE4rz \x80 \x81 \xDF"), "M\xC3\xA4rz \xE2\x82\xAC \xEF\xBF\xBD \xC3\x9F");
}

// UTF-8 becomes Windows-1252 however the input is cut into pieces; a
// character without a Windows-1252 form stops the conversion and is named
// with its line and bytes, and so is a sequence cut off by the end.
TEST(Charset, Utf8BecomesWindows1252OrNamesWhatHasNoForm) {
    const std::string text = "first\nB\xC3\xA4r \xE2\x82\xAC \xE2\x80\x93\n";
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        Converted good = utf8ToWindows1252(text, piece);
        EXPECT_TRUE(good.ok) << piece;
        EXPECT_EQ(good.out, "first\nB\xE4r \x80 \x96\n") << piece;

        Converted bad = utf8ToWindows1252("ok\nthen \xC5\x82 here", piece);
        EXPECT_FALSE(bad.ok) << piece;
        EXPECT_EQ(bad.line, 2) << piece;
        EXPECT_EQ(bad.failed, "\xC5\x82") << piece;
    }
    Converted cut = utf8ToWindows1252("end \xC3", 3);
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.failed, "\xC3");
}
