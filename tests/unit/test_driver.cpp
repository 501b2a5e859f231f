// Command-line flags, work path, server date and exit status of a run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "driver/cmdline.h"
#include "driver/run.h"
#include "driver/workfile.h"
#include "common/runstate.h"
#include "driver/exitstatus.h"
#include "common/paths.h"
#include "common/textfile.h"
#include "import/dispatch.h"

namespace {

struct Flags {
    int debug;
    int update;
    bool operator==(const Flags& other) const { return debug == other.debug && update == other.update; }
};

// Parses a command line made of the program name, a file, a type code and
// the given options; returns the flags it set.
Flags flagsFor(std::vector<std::string> options) {
    std::vector<std::string> words = {"Kelvora_MYSQL", "in.txt", "20p"};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    DebugFlag = 0;
    UpdateMode = 0;
    EXPECT_EQ(parseCommandLine(static_cast<int>(argv.size()), argv.data()), 0);
    return {DebugFlag, UpdateMode};
}

std::ostream& operator<<(std::ostream& out, const Flags& flags) {
    return out << "debug=" << flags.debug << " update=" << flags.update;
}

}  // namespace

TEST(CommandLine, OptionsSetTheFlagsByPosition) {
    EXPECT_EQ(flagsFor({}), (Flags{0, 0}));
    EXPECT_EQ(flagsFor({"UPD"}), (Flags{0, 1}));
    EXPECT_EQ(flagsFor({"/d"}), (Flags{1, 0}));
    EXPECT_EQ(flagsFor({"upd", "/d"}), (Flags{1, 1}));
    EXPECT_EQ(flagsFor({"/D", "UPD"}), (Flags{0, 0}));
    EXPECT_EQ(flagsFor({"xyz", "/D"}), (Flags{1, 0}));
    EXPECT_EQ(flagsFor({"UPD", "xyz"}), (Flags{0, 1}));
    EXPECT_EQ(flagsFor({"UPDATE"}), (Flags{0, 0}));
    EXPECT_EQ(flagsFor({"/DX"}), (Flags{0, 0}));
    EXPECT_EQ(flagsFor({"UPD", "/D", "extra", "more"}), (Flags{1, 1}));
}

TEST(CommandLine, BannerBoxLinesAreFiftyFourCharacters) {
    testing::internal::CaptureStdout();
    printBanner();
    std::string banner = testing::internal::GetCapturedStdout();
    size_t start = 1;   // after the opening empty line
    for (int line = 0; line < 8; ++line) {
        size_t end = banner.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(end - start, 54u) << banner.substr(start, end - start);
        start = end + 1;
    }
    EXPECT_EQ(banner.substr(start), "\n");
}

TEST(WorkPath, OnlyADotInTheLastComponentCounts) {
    EXPECT_EQ(buildWorkPath("D:\\in\\20P_0001.txt"), "D:\\in\\20P_0001.wrk");
    EXPECT_EQ(buildWorkPath("D:\\in\\a.b.c"), "D:\\in\\a.b.wrk");
    EXPECT_EQ(buildWorkPath("D:\\in\\data"), "D:\\in\\data.wrk");
    EXPECT_EQ(buildWorkPath("D:\\in.dir\\data"), "D:\\in.dir\\data.wrk");
    EXPECT_EQ(buildWorkPath("dir.x/data"), "dir.x/data.wrk");
    EXPECT_EQ(buildWorkPath("a.b.c"), "a.b.wrk");
    EXPECT_EQ(buildWorkPath("in/.hidden"), "in/.wrk");
    EXPECT_EQ(buildWorkPath("plain"), "plain.wrk");
}

TEST(ServerDate, TakesYearMonthDayFromTheServerText) {
    char date[ServerDateSize];
    buildServerDate("07.12.2026 15:30:00", date, sizeof date);
    EXPECT_STREQ(date, "20261207");
    buildServerDate("", date, sizeof date);
    EXPECT_STREQ(date, "");
}

TEST(ExitStatus, KeepsTheLowByteButNeverTurnsAFailureIntoSuccess) {
    EXPECT_EQ(exitStatusFor(0), 0);
    EXPECT_EQ(exitStatusFor(-1), 255);
    EXPECT_EQ(exitStatusFor(99), 99);
    EXPECT_EQ(exitStatusFor(1045), 21);
    EXPECT_EQ(exitStatusFor(1146), 122);
    EXPECT_EQ(exitStatusFor(1280), 255);
    EXPECT_EQ(exitStatusFor(2048), 255);
    EXPECT_EQ(exitStatusFor(1), 1);
}

TEST(Paths, BackslashesAreDirectorySeparators) {
    EXPECT_EQ(nativePath("..\\..\\Files\\Corvantis.Ini"), "../../Files/Corvantis.Ini");
    EXPECT_EQ(nativePath("plain/path"), "plain/path");
}

// A read that fails (here the kernel's EISDIR, the descriptor swapped for a
// directory's) is no end of file: the loop prints its message instead of
// the count, sends no closing statement, and the run ends with 99 without a
// COMMIT. A COMMIT that fails (here: no connection at all) is announced as
// an aborted transaction after everything else, and its number is the
// result.
TEST(RunEnding, ReadFailureAndFailedCommitAreNeverSuccess) {
    char path[] = "/tmp/kelvora-readfail-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    static TextFile file;
    ASSERT_TRUE(openTextFile(file, path));
    int directory = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    ASSERT_EQ(dup2(directory, file.fd), file.fd);
    close(directory);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    LoopOutcome outcome = import20P(file);
    int32_t result = finishImport(outcome);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Lesen der Datei fehlgeschlagen\n");
    EXPECT_NE(errors.find("reading the work file failed after line 0: Is a directory"), std::string::npos) << errors;
    EXPECT_EQ(outcome.ending, LoopEnding::ReadFailed);
    EXPECT_EQ(result, 99);
    closeTextFile(file);
    unlink(path);

    testing::internal::CaptureStdout();
    result = finishImport({0, LoopEnding::Completed});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Transaktion abgebrochen, Fehler: -1\n");
    EXPECT_EQ(result, -1);
}
