// Telling a UTF-8 file from a Windows-1252 one by its bytes.
#include <gtest/gtest.h>

#include <string>

#include "common/encoding.h"

namespace {

// Scans text in pieces of the given size, so that sequences are cut
// between pieces.
Utf8Scan scanned(const std::string& text, size_t piece) {
    Utf8Scan scan;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size(); at += piece) {
        scanUtf8(scan, bytes + at, text.size() - at < piece ? text.size() - at : piece);
    }
    return scan;
}

bool isUtf8(const std::string& text) {
    bool whole = isUtf8File(scanned(text, text.size() + 1));
    EXPECT_EQ(isUtf8File(scanned(text, 1)), whole) << "the verdict depends on where the pieces are cut";
    return whole;
}

}  // namespace

// Well-formed sequences of two to four bytes make a UTF-8 file; ASCII alone,
// overlong forms, surrogates, code points above U+10FFFF, a sequence cut
// off by the end and a single Windows-1252 umlaut do not.
TEST(Encoding, OnlyWellFormedUtf8AboveAsciiMakesAUtf8File) {
    EXPECT_TRUE(isUtf8("Gr\xC3\xB6\xC3\x9F" "e\n"));
    EXPECT_TRUE(isUtf8("\xE2\x82\xAC and \xF0\x9F\x98\x80 and \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(isUtf8("plain ASCII\r\n"));
    EXPECT_FALSE(isUtf8("M\xE4rz"));
    EXPECT_FALSE(isUtf8("\xC3\xB6 then M\xE4rz"));
    EXPECT_FALSE(isUtf8("\xC0\x80"));
    EXPECT_FALSE(isUtf8("\xE0\x80\x80"));
    EXPECT_FALSE(isUtf8("\xF0\x80\x80\x80"));
    EXPECT_FALSE(isUtf8("\xED\xA0\x80"));
    EXPECT_FALSE(isUtf8("\xF4\x90\x80\x80"));
    EXPECT_FALSE(isUtf8("\xF5\x80\x80\x80"));
    EXPECT_FALSE(isUtf8("ok \xC3"));
    EXPECT_FALSE(isUtf8("\xC3" "A"));
}

// The message names the first line that holds a sequence, and its bytes.
TEST(Encoding, TheFirstSequenceAndItsLineAreKept) {
    Utf8Scan scan = scanned("a\nb\r\nc \xE2\x82\xAC d\n\xC3\xA4\n", 3);
    ASSERT_TRUE(isUtf8File(scan));
    EXPECT_EQ(scan.firstLine, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(scan.firstSequence),
                          static_cast<size_t>(scan.firstSequenceLength)),
              "\xE2\x82\xAC");
}
