// kelvora-watch and the importer under a service manager: on the journal's
// stream each line leads with its priority, anywhere else it does not.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

constexpr int WaitSeconds = 60;
constexpr int FilesFailedStatus = 1;
constexpr int SettleMilliseconds = 1100;  // the site's settle time of 1 s, and a little
const char* const Sections = "[file *20P*]\ntype = 20P\n[file FTG*]\ntype = FTG\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The device and inode of a file as JOURNAL_STREAM names the journal's.
std::string streamOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) ADD_FAILURE() << "stat " << path << ": " << strerror(errno);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// Runs command under /bin/sh in dir with standard error appended to log,
// JOURNAL_STREAM naming stream; its exit status.
int runWithStream(const std::string& dir, const std::string& stream, const std::string& command,
                  const std::string& log) {
    return kt::shell("cd '" + dir + "' && JOURNAL_STREAM=" + stream + " " + command + " >/dev/null 2>>'" + log + "'");
}

// The first line of text that holds part; empty when none does.
std::string lineWith(const std::string& text, const std::string& part) {
    for (const std::string& line : kt::lines(text)) {
        if (contains(line, part)) return line;
    }
    return "";
}

}  // namespace

// On the journal's stream (JOURNAL_STREAM names the device and inode of
// standard error) the watcher's lines carry <3> for a run that failed, <4>
// for a refused file and one no section takes, <6> for the rest; the
// importer's too. The importer's standard error that the watcher keeps in
// the run folder, a file, carries none although it inherits the variable,
// and a standard error that is not the stream named gets the lines as
// ever, byte for byte.
TEST(Service, LinesOnTheJournalStreamCarryTheirPriorityAndNoneElsewhere) {
    kt::resetSchema();
    kt::exec("DROP TABLE MGSSTFTG");
    kt::WatchSite site(Sections);
    const std::string samples = site.folder("samples");
    ASSERT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, {"--clean", samples, "2", "FTG"}, site.box().workDir()).status, 0);
    std::filesystem::rename(samples + "/FTG.txt", site.folder("drop") + "/FTG_0001.txt");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    site.deliver("20P_0002.txt", kt::records20P(4, 5) + kt::record20P(6).substr(0, 50));
    site.deliver("unknown.csv", "x\n");
    const std::string journal = site.folder("journal.log");
    kt::shell("touch '" + journal + "'");
    std::this_thread::sleep_for(std::chrono::milliseconds(SettleMilliseconds));
    const std::string watch = std::string(KELVORA_WATCH) + " --config '" + site.config() + "' --once";
    EXPECT_EQ(runWithStream(site.box().root(), streamOf(journal), watch, journal), FilesFailedStatus);
    const std::string log = kt::fileText(journal);
    for (const std::string& line : kt::lines(log)) {
        EXPECT_TRUE(line.rfind("<3>kelvora-watch: ", 0) == 0 || line.rfind("<4>kelvora-watch: ", 0) == 0 ||
                    line.rfind("<6>kelvora-watch: ", 0) == 0)
            << line;
    }
    EXPECT_EQ(lineWith(log, "FTG_0001.txt FTG: to ").substr(0, 3), "<3>") << log;
    EXPECT_EQ(lineWith(log, "20P_0002.txt 20P: to ").substr(0, 3), "<4>") << log;
    EXPECT_EQ(lineWith(log, "unknown.csv matches no").substr(0, 3), "<4>") << log;
    EXPECT_EQ(lineWith(log, "20P_0001.txt 20P: archived").substr(0, 3), "<6>") << log;
    EXPECT_EQ(lineWith(log, "stopped").substr(0, 3), "<6>") << log;
    std::string ftgRun;
    for (const std::string& folder : site.runFolders("failed")) {
        if (contains(folder, "FTG_0001")) ftgRun = folder;
    }
    ASSERT_FALSE(ftgRun.empty()) << log;
    const std::vector<std::string> importerErr = kt::lines(site.runFile("failed", ftgRun, "stderr.txt"));
    ASSERT_FALSE(importerErr.empty());
    for (const std::string& line : importerErr) EXPECT_EQ(line.rfind("Kelvora_MYSQL: ", 0), 0u) << line;

    const kt::Sandbox& box = site.box();
    box.writeFile("20P_0009.txt", kt::records20P(1, 2));
    const std::string plain = site.folder("plain.log");
    const std::string importer = std::string(KELVORA_PROGRAM) + " missing.txt 20P";
    EXPECT_EQ(runWithStream(box.workDir(), streamOf(journal), importer, plain),
              runWithStream(box.workDir(), streamOf(journal), importer, journal));
    EXPECT_EQ(
        runWithStream(box.workDir(), streamOf(journal), std::string(KELVORA_PROGRAM) + " 20P_0009.txt 20P", journal),
        0);
    const std::string withImporter = kt::fileText(journal);
    const std::string notFound =
        "Kelvora_MYSQL: source file missing.txt not found (working directory " + box.workDir() + ")";
    EXPECT_EQ(lineWith(withImporter, notFound), "<3>" + notFound) << withImporter;
    EXPECT_EQ(lineWith(withImporter, "Kelvora_MYSQL: 20P 20P_0009.wrk: 2 lines").substr(0, 3), "<6>") << withImporter;
    const std::vector<std::string> plainLines = kt::lines(kt::fileText(plain));
    ASSERT_FALSE(plainLines.empty());
    EXPECT_EQ(plainLines[0], notFound);
    for (const std::string& line : plainLines) EXPECT_EQ(line.rfind("Kelvora_MYSQL: ", 0), 0u) << line;
}
