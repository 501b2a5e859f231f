// kelvora-watch when a file cannot go on by itself, with the real watcher,
// the real importer and journal program, and the throwaway server: an
// import that hangs is ended at import-timeout and tried again as the
// journal says, a journal that cannot be asked holds the files instead of
// letting duplicates through, and a file the watcher cannot read is named
// by status and counted by the metrics until a person fixes it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int WaitSeconds = 60;
constexpr int UsageStatus = 2;
constexpr int NeedsAPersonStatus = 1;
constexpr int ImportTimeoutSeconds = 4;
constexpr int NobodyId = 65534;
const char* const Section20P = "[file *20P*]\ntype = 20P\n";
const char* const JournalKeys = "journal = KELVORA.RUNS\nduplicates = refuse\n";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
    return count;
}

// Adds keys to the [site] section of the site's configuration.
void addSiteKeys(const kt::WatchSite& site, const std::string& keys) {
    std::string config = kt::fileText(site.config());
    config.insert(config.find("\n\n") + 1, keys);
    std::ofstream(site.config(), std::ios::binary) << config;
}

// kelvora-watch status --json of the site, its exit status beside.
Json statusOf(const kt::WatchSite& site, int& status) {
    kt::RunResult run = kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "status", "--json"},
                                       site.box().root());
    status = run.status;
    Json parsed = Json::parse(run.out, nullptr, false);
    if (!parsed.is_object()) ADD_FAILURE() << "status --json said: " << run.out << run.err;
    return parsed;
}

// The pid that status gives for the running import of a file, or -1.
int importPidInStatus(const kt::WatchSite& site, const std::string& name) {
    int status = 0;
    const Json said = statusOf(site, status);
    if (!said.is_object() || !said["in_work"].is_array()) return -1;
    for (const Json& job : said["in_work"]) {
        if (job["file"] == name && job["type"] == "20P" && job["doing"] == "import" && job.contains("pid") &&
            job.contains("running_seconds")) {
            return job["pid"].get<int>();
        }
    }
    return -1;
}

// The program that a process runs.
std::string programOf(int pid) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// A shell script at path that runs command with the script's arguments.
void writeWrapper(const std::string& path, const std::string& command) {
    const std::string hidden = path + ".new";
    std::ofstream(hidden, std::ios::binary) << "#!/bin/sh\nexec " << command << " \"$@\"\n";
    fs::permissions(hidden, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::rename(hidden, path);   // never a half-written script for the watcher to run
}

// The value of a sample without labels in a metrics file, or -1.
double metric(const std::string& path, const std::string& name) {
    for (const std::string& line : kt::lines(kt::fileText(path))) {
        if (line.compare(0, name.size() + 1, name + " ") == 0) return std::stod(line.substr(name.size() + 1));
    }
    return -1;
}

}  // namespace

// The importer hangs (it waits for a lock, then is stopped with SIGSTOP),
// and status lists it as running, with its pid. At import-timeout the
// watcher ends it, says so, and asks the journal, which has no row of the
// run: nothing was committed, so the section's retries import the file
// again, once: one journal row, and each record inserted once.
TEST(WatchStuck, HungImportIsEndedAtImportTimeoutAndTriedAgainAsTheJournalSays) {
    kt::resetSchema();
    kt::resetJournal();
    kt::insertSurvivor();
    kt::countInserts();
    kt::WatchSite site(Section20P);
    addSiteKeys(site, std::string(JournalKeys) + "import-timeout = " + std::to_string(ImportTimeoutSeconds) + "\n");
    kt::Session other;
    ASSERT_EQ(other.exec("UPDATE MGSST20P SET M20Ofb = 'LOCK'"), 0);
    kt::RunningProgram watcher = site.follow({"--retry-delays", "1"});
    std::string err;
    const bool watching = kt::waitForError(watcher, "watching ", err, WaitSeconds);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    const bool locked =
        kt::waitFor([] { return kt::waitingThread("DELETE FROM Ruruvuro.MGSST20P") > 0; }, WaitSeconds);
    int pid = -1;
    kt::waitFor([&] { return (pid = importPidInStatus(site, "20P_0001.txt")) > 0; }, WaitSeconds / 6);
    const std::string program = pid > 0 ? programOf(pid) : "";
    const bool stopped = pid > 0 && kill(pid, SIGSTOP) == 0;
    other.exec("ROLLBACK");   // the stopped importer's DELETE goes through, uncommitted
    const bool ended = kt::waitForError(watcher, "longer than import-timeout", err, WaitSeconds);
    const bool archived = kt::waitFor([&] { return !site.runFolders("archive").empty(); }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(watching && locked) << err;
    EXPECT_EQ(program, fs::canonical(KELVORA_PROGRAM).string()) << "pid " << pid << " from status";
    ASSERT_TRUE(stopped && ended && archived) << err;
    EXPECT_TRUE(contains(err, "20P_0001.txt 20P: the import has run ")) << err;
    EXPECT_TRUE(contains(err, "ended at import-timeout, nothing committed, retry 1 of 3 in 1 s")) << err;
    EXPECT_TRUE(contains(err, "20P_0001.txt 20P: 3 lines, 3 written, 0 failed, 0 wrong length, committed")) << err;
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 1);
    EXPECT_EQ(kt::insertsSeen(), 3);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_TRUE(site.runFolders("failed").empty()) << err;
}

// With duplicates = refuse the journal is asked before every first import.
// Its program missing: the watcher does not start. Its program's wrapper
// there but failing: the file waits, with one line naming the cause
// however often it is asked again, and status says the journal cannot be
// asked; once the wrapper works, the file is imported. Then the login may
// not select in the journal: a second delivery of that content and a new
// file wait, and once it may, the copy is refused as imported before and
// the new file imported, each record once.
TEST(WatchStuck, JournalThatCannotBeAskedHoldsTheFilesAndNothingIsImportedTwice) {
    kt::resetSchema();
    kt::resetJournal();
    kt::countInserts();
    kt::WatchSite site(Section20P);
    const std::string wrapper = site.box().root() + "/journal-wrapper";
    addSiteKeys(site, std::string(JournalKeys) + "journal-program = " + wrapper + "\n");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    kt::RunResult missing = site.once();
    EXPECT_EQ(missing.status, UsageStatus) << missing.err;
    EXPECT_TRUE(contains(missing.err, "its program " + wrapper + " cannot be run")) << missing.err;
    EXPECT_TRUE(fs::exists(site.folder("drop") + "/20P_0001.txt"));

    writeWrapper(wrapper, site.box().root() + "/no-such/kelvora-journal");
    kt::RunningProgram watcher = site.follow({"--outage-retry", "1"});
    std::string err;
    const bool away = kt::waitForError(watcher, "the journal KELVORA.RUNS cannot be asked", err, WaitSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));   // asked again at 1 s and 3 s
    int status = 0;
    const Json said = statusOf(site, status);
    const bool held = kt::insertsSeen() == 0 && site.runFolders("archive").empty() && site.runFolders("failed").empty();
    const std::string journal = fs::path(KELVORA_PROGRAM).parent_path().string() + "/kelvora-journal";
    writeWrapper(wrapper, journal);
    const bool first = kt::waitFor([&] { return site.runFolders("archive").size() == 1; }, WaitSeconds);

    kt::exec("REVOKE SELECT ON KELVORA.RUNS FROM 'kelvora'@'localhost'");
    site.deliver("20P_0002.txt", kt::records20P(1, 3));
    const bool noSelect = kt::waitForError(watcher, "20P_0002.txt 20P: the journal KELVORA.RUNS cannot be asked",
                                           err, WaitSeconds);
    site.deliver("20P_0003.txt", kt::records20P(4, 6));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const bool heldAgain = kt::insertsSeen() == 3 && site.runFolders("archive").size() == 1 &&
                           site.runFolders("failed").empty();
    kt::exec("GRANT SELECT ON KELVORA.RUNS TO 'kelvora'@'localhost'");
    const bool settled = kt::waitFor([&] { return site.runFolders("archive").size() == 2; }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(away) << err;
    EXPECT_TRUE(held) << err;
    EXPECT_EQ(occurrences(err, "20P_0001.txt 20P: the journal KELVORA.RUNS cannot be asked"), 1u) << err;
    EXPECT_TRUE(contains(err, "cannot be asked (" + wrapper + ": ")) << err;   // the shell's word on the exec
    EXPECT_EQ(status, NeedsAPersonStatus) << said.dump();
    EXPECT_TRUE(said["journal_away"].is_string()) << said.dump();
    EXPECT_TRUE(said["needs_a_person"] == true) << said.dump();
    ASSERT_TRUE(first && noSelect && settled) << err;
    EXPECT_TRUE(heldAgain) << err;
    EXPECT_TRUE(contains(err, "SELECT command denied")) << err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << err;
    EXPECT_TRUE(contains(site.runFile("failed", failed[0], "reason"), "already imported on ")) << err;
    EXPECT_EQ(site.runFile("failed", failed[0], "file/20P_0002.txt"), kt::records20P(1, 3));
    EXPECT_EQ(kt::insertsSeen(), 6);
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 2);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T4"}, {"T5"}, {"T6"}}));
}

// A sender's file of mode 0600 that the watcher (root without the rights
// to override file modes) cannot read: it holds its type code back, status
// names it with the fix, says a person is needed and exits so, and the
// metrics count it at once. Once readable, it is taken at the next rescan.
TEST(WatchStuck, FileTheWatcherCannotReadNeedsAPersonInStatusAndMetrics) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string metrics = site.box().root() + "/kelvora-watch.prom";
    addSiteKeys(site, "metrics = " + metrics + "\n");
    const std::string unreadable = site.folder("drop") + "/20P_0001.txt";
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    ASSERT_EQ(chown(unreadable.c_str(), NobodyId, NobodyId), 0);
    ASSERT_EQ(chmod(unreadable.c_str(), 0600), 0);
    kt::RunningProgram watcher =
        site.followUnder({"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"}, {});
    std::string err;
    const bool refused = kt::waitForError(watcher, "20P_0001.txt: ", err, WaitSeconds);
    const bool counted = kt::waitFor([&] { return metric(metrics, "kelvora_watch_files_untaken") == 1; }, 10);
    int status = 0;
    const Json said = statusOf(site, status);
    ASSERT_EQ(chmod(unreadable.c_str(), 0644), 0);
    const bool taken = kt::waitFor([&] { return !site.runFolders("archive").empty(); }, WaitSeconds);
    const bool cleared = kt::waitFor([&] { return metric(metrics, "kelvora_watch_files_untaken") == 0; }, 10);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(refused) << err;
    EXPECT_TRUE(contains(err, "Permission denied")) << err;
    EXPECT_TRUE(counted) << kt::fileText(metrics);
    EXPECT_EQ(status, NeedsAPersonStatus) << said.dump();
    EXPECT_TRUE(said["needs_a_person"] == true) << said.dump();
    ASSERT_TRUE(said["drop"].is_array() && said["drop"].size() == 1) << said.dump();
    const Json& entry = said["drop"][0];
    EXPECT_EQ(entry["file"], "20P_0001.txt") << said.dump();
    EXPECT_TRUE(entry["needs_a_person"] == true) << said.dump();
    const std::string waits = entry["waits_for"].is_string() ? entry["waits_for"].get<std::string>() : "";
    EXPECT_TRUE(contains(waits, "Permission denied") && contains(waits, "give the watcher's user read access"))
        << waits;
    ASSERT_TRUE(taken) << err;
    EXPECT_TRUE(cleared) << kt::fileText(metrics);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
}
