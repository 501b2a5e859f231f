// Statement formatting: the printf conversions the formats use, and the
// 1500-byte limit: a text that does not fit is refused, never cut.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "common/runstate.h"
#include "common/textfile.h"
#include "import/recordloop.h"
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

namespace {

// A member whose record asks for a statement longer than the buffer when
// its first field starts with "L": the 1500-byte rule, without a server.
std::string LongText(StatementBufferSize, 'x');

bool statementOfRecord(const RecordRow& row) {
    return formatStatement("INSERT %s", {sqlRaw(row[0][0] == 'L' ? LongText.c_str() : row[0])});
}

void planLongRecords(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, statementOfRecord);
}

constexpr FieldSpec OneField[] = {{0, 8, true, 0, "Field"}};

constexpr ImportMember LongMember = [] {
    ImportMember m;
    m.typeCode = "TST";
    m.recordKind = m.longestKind = RecordFCD;
    m.layout = OneField;
    m.fieldCount = 1;
    m.planRecord = planLongRecords;
    m.failureMessage = "  fail %d\n";
    m.countMessage = "\n%d done\n";
    return m;
}();

}  // namespace

// Imports bytes with the long member in /D mode; ends the process with 0
// when the output and the ending are the expected ones. Run in a child
// process: a run that stopped stays stopped for the rest of its process.
[[noreturn]] void importLongRecords(const std::string& bytes, const std::string& expected) {
    char path[] = "/tmp/kelvora-long-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) _exit(2);
    close(fd);
    static TextFile file;
    if (!openTextFile(file, path)) _exit(2);
    unlink(path);
    DebugFlag = 1;
    testing::internal::CaptureStdout();
    LoopOutcome outcome = runRecordLoop(LongMember, file);
    std::string out = testing::internal::GetCapturedStdout();
    if (out != expected) fprintf(stderr, "output: [%s]\n", out.c_str());
    bool stopped = outcome.ending == LoopEnding::StatementTooLong && outcome.code == StatementTooLongResult;
    _exit(out == expected && stopped ? 0 : 1);
}

// A statement that does not fit ends the run with 1: the records before it
// are written out (here they fail, having no server), the line itself is
// echoed as every line read is, and nothing else follows: no count line.
TEST(Statement, AStatementThatDoesNotFitEndsTheRunAfterTheOutputBeforeIt) {
    const std::string first = std::string("first") + std::string(59, ' ') + "\n";
    const std::string tooLong = std::string("Long") + std::string(60, ' ') + "\n";
    EXPECT_EXIT(importLongRecords(first + tooLong + first, first + "\n  fail -1\n" + tooLong + "\n"),
                testing::ExitedWithCode(0), "");
}
