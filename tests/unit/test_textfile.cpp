// Text-mode line reading: the same results on every platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/textfile.h"

namespace {

// Writes bytes to a temporary file and reads it back in lines of at most
// capacity - 1 characters.
std::vector<std::string> readLines(const std::string& bytes, int capacity) {
    char path[] = "/tmp/kelvora-textfile-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    TextFile file;
    EXPECT_TRUE(openTextFile(file, path));
    std::vector<std::string> lines;
    std::vector<char> buffer(static_cast<size_t>(capacity));
    while (readTextLine(buffer.data(), capacity, file) != nullptr) lines.emplace_back(buffer.data());
    unlink(path);
    return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(TextFile, CrLfIsOneNewlineAndALoneCrIsData) {
    EXPECT_EQ(readLines("ab\r\ncd\n", 10), (Lines{"ab\n", "cd\n"}));
    EXPECT_EQ(readLines("a\rb\n", 10), (Lines{"a\rb\n"}));
    EXPECT_EQ(readLines("a\r\r\n", 10), (Lines{"a\r\n"}));
    EXPECT_EQ(readLines("end\r", 10), (Lines{"end\r"}));
}

TEST(TextFile, CtrlZEndsTheInput) {
    EXPECT_EQ(readLines("ab\n\x1A" "cd\n", 10), (Lines{"ab\n"}));
    EXPECT_EQ(readLines("ab\x1A" "cd\n", 10), (Lines{"ab"}));
    EXPECT_EQ(readLines("\x1A", 10), (Lines{}));
    EXPECT_EQ(readLines("a\r\x1A\n", 10), (Lines{"a\r"}));
}

TEST(TextFile, LongLinesAreSplitAtTheLimit) {
    EXPECT_EQ(readLines("abcdef\n", 4), (Lines{"abc", "def", "\n"}));
    EXPECT_EQ(readLines("abc\r\n", 4), (Lines{"abc", "\n"}));
    // CR LF counts as one character, so it still fits behind two data characters.
    EXPECT_EQ(readLines("ab\r\nc", 4), (Lines{"ab\n", "c"}));
    EXPECT_EQ(readLines("last", 10), (Lines{"last"}));
    EXPECT_EQ(readLines("", 10), (Lines{}));
}

TEST(TextFile, LinesLongerThanTheInternalBufferAndRewind) {
    std::string big(TextFileBufferSize + 10, 'x');
    big[TextFileBufferSize - 1] = '\r';
    big[TextFileBufferSize] = '\n';
    Lines lines = readLines(big + "\n", 2 * TextFileBufferSize);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), static_cast<size_t>(TextFileBufferSize));
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[1], std::string(9, 'x') + "\n");

    char path[] = "/tmp/kelvora-rewind-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_EQ(write(fd, "one\ntwo\n", 8), 8);
    close(fd);
    TextFile file;
    ASSERT_TRUE(openTextFile(file, path));
    char line[16];
    ASSERT_NE(readTextLine(line, sizeof line, file), nullptr);
    ASSERT_NE(readTextLine(line, sizeof line, file), nullptr);
    EXPECT_EQ(readTextLine(line, sizeof line, file), nullptr);
    EXPECT_EQ(rewindTextFile(file), 0);
    ASSERT_NE(readTextLine(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "one\n");
    unlink(path);
}

// Records of a fixed length run across the ends of the internal buffer, and
// the special bytes fall on and beside those ends: every record comes back
// whole, CR LF as one newline, a CR inside the data as data.
TEST(TextFile, RecordsAcrossTheInternalBufferEnds) {
    constexpr int RecordLength = 272;
    constexpr int RecordCount = 3 * TextFileBufferSize / RecordLength;
    std::string bytes;
    Lines expected;
    for (int i = 0; i < RecordCount; ++i) {
        std::string data(RecordLength - 1, static_cast<char>('a' + i % 26));
        if (i % 5 == 1) data[i % (RecordLength - 2)] = '\r';
        bytes += data + (i % 3 == 2 ? "\r\n" : "\n");
        expected.push_back(data + "\n");
    }
    EXPECT_EQ(readLines(bytes, RecordLength + 1), expected);
    // Read with room for fewer characters, each record splits into a part
    // of the limit and its rest.
    Lines split;
    for (const std::string& line : expected) {
        split.push_back(line.substr(0, 200));
        split.push_back(line.substr(200));
    }
    EXPECT_EQ(readLines(bytes, 201), split);
    // A Ctrl-Z just behind the first buffer's end: the records before it,
    // then the data of the cut record up to it.
    size_t cut = TextFileBufferSize;
    ASSERT_NE(bytes[cut - 1], '\r');
    Lines beforeCtrlZ;
    size_t start = 0;
    for (const std::string& line : expected) {
        size_t end = bytes.find('\n', start) + 1;
        if (end > cut) {
            beforeCtrlZ.push_back(bytes.substr(start, cut - start));
            break;
        }
        beforeCtrlZ.push_back(line);
        start = end;
    }
    EXPECT_EQ(readLines(bytes.substr(0, cut) + "\x1A" + bytes.substr(cut), RecordLength + 1), beforeCtrlZ);
}

TEST(TextFile, DirectoriesAndMissingFilesDoNotOpen) {
    TextFile file;
    EXPECT_FALSE(openTextFile(file, "/tmp"));
    EXPECT_FALSE(openTextFile(file, "/nonexistent/kelvora"));
    char line[8];
    EXPECT_EQ(readTextLine(line, sizeof line, file), nullptr);
}
