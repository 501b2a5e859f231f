// kelvora-watch against what its senders, crashes and full disks can do,
// with the real watcher, the real importer, real inotify and the throwaway
// server: a name swapped for a link or a FIFO at the moment the watcher
// opens it, a lock file that points elsewhere, names that look like the
// run's own files or hold a newline, two watchers that share a working
// directory, a full archive, and a watcher killed at each step of a run.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

constexpr int WaitSeconds = 60;
constexpr int FilesFailedStatus = 1;
constexpr int UsageStatus = 2;
constexpr int DatabaseAwayStatus = 4;
constexpr int OutcomeUnknownStatus = 6;
constexpr int LockFileUnusableStatus = 5;
constexpr int KilledStatus = 137;
const char* const Section20P = "[file *20P*]\ntype = 20P\n";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every regular file below folder whose bytes are exactly bytes.
int copiesIn(const std::string& folder, const std::string& bytes) {
    int copies = 0;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
        if (entry.is_regular_file() && !entry.is_symlink() && kt::fileText(entry.path().string()) == bytes) copies++;
    }
    return copies;
}

// Waits (in a thread of the test) until a process opens name in folder for
// the second time (the first open is the delivery's own), as inotify
// reports it, then renames replacement over that name: what a sender does
// who wants the watcher to check one file and take another.
class SwapAtOpen {
public:
    SwapAtOpen(const std::string& folder, const std::string& name, const std::string& replacement) {
        fd_ = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(fd_, folder.c_str(), IN_OPEN);
        thread_ = std::thread([this, folder, name, replacement] {
            alignas(inotify_event) char buffer[4096];
            int opens = 0;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(WaitSeconds);
            while (!swapped_ && std::chrono::steady_clock::now() < end) {
                pollfd ready = {fd_, POLLIN, 0};
                if (poll(&ready, 1, 200) <= 0) continue;
                ssize_t got = read(fd_, buffer, sizeof buffer);
                for (ssize_t at = 0; at < got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (event->len > 0 && name == event->name && ++opens == 2) {
                        swapped_ = rename(replacement.c_str(), (folder + "/" + name).c_str()) == 0;
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            done_ = true;
        });
    }
    ~SwapAtOpen() {
        thread_.join();
        close(fd_);
    }
    bool swapped() const { return swapped_; }
    bool done() const { return done_; }

private:
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> swapped_{false};
    std::atomic<bool> done_{false};
};

}  // namespace

// A link to a file of the watcher's user, and then a FIFO, renamed over a
// delivered name while the watcher opens it: the secret is never read,
// copied or imported, the watcher never blocks, and the next file is taken.
TEST(WatchSafety, LinkOrFifoSwappedInAtTheOpenIsNeverFollowedNorWaitedFor) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string secret = kt::records20P(900, 903);
    const std::string secretPath = site.folder("secret.txt");
    std::ofstream(secretPath, std::ios::binary) << secret;
    chmod(secretPath.c_str(), 0600);
    const std::string link = site.folder("link");
    const std::string fifo = site.folder("fifo");
    ASSERT_EQ(symlink(secretPath.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kt::RunningProgram watcher = site.follow();
    std::string err;
    ASSERT_TRUE(kt::waitForError(watcher, "watching ", err, WaitSeconds)) << err;
    bool swapped = true;
    for (const auto& [name, replacement] : {std::pair{"20P_0001.txt", link}, std::pair{"20P_0002.txt", fifo}}) {
        SwapAtOpen swap(site.folder("drop"), name, replacement);
        site.deliver(name, kt::records20P(1, 2000));
        while (!swap.done()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        swapped = swapped && swap.swapped();
    }
    site.deliver("20P_0003.txt", kt::records20P(7, 9));
    const bool third = kt::waitFor([&] {
        for (const std::string& run : site.runFolders("archive")) {
            if (contains(run, "20P_0003")) return true;
        }
        return false;
    }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(third) << err;
    EXPECT_TRUE(swapped) << "the sender's swap never came: " << err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T7"}, {"T8"}, {"T9"}}));
    EXPECT_EQ(kt::fileText(secretPath), secret);
    for (const char* folder : {"archive", "failed", "drop"}) EXPECT_EQ(copiesIn(site.folder(folder), secret), 0);
    EXPECT_EQ(copiesIn(site.box().workDir(), secret), 0);
    EXPECT_TRUE(contains(err, "is a symbolic link, not a regular file") || contains(err, "is a FIFO, not a regular file"))
        << err;
}

// A sender delivers a file and keeps a link to it outside the drop folder.
// Once the file passed its checks and its import waits for a lock, the
// sender rewrites it through that link: the import still reads the bytes
// that were checked, from the watcher's own copy.
TEST(WatchSafety, SenderWhoKeepsALinkCannotChangeTheCheckedBytes) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    ASSERT_EQ(other.exec("UPDATE MGSST20P SET M20Ofb = 'LOCK'"), 0);
    kt::WatchSite site(Section20P);
    const std::string kept = site.folder("kept.txt");
    std::ofstream(kept, std::ios::binary) << kt::records20P(1, 3);
    ASSERT_EQ(link(kept.c_str(), (site.folder("drop") + "/20P_0001.txt").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    kt::RunningProgram watcher = site.follow({"--once"});
    const bool waiting =
        kt::waitFor([] { return kt::waitingThread("DELETE FROM Ruruvuro.MGSST20P") > 0; }, WaitSeconds);
    std::ofstream(kept, std::ios::binary | std::ios::trunc) << kt::records20P(901, 903);
    other.exec("ROLLBACK");
    kt::RunResult run = kt::waitProgram(watcher);
    ASSERT_TRUE(waiting) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_EQ(copiesIn(site.folder("archive"), kt::records20P(1, 3)), 1);
}

// A writer writes half a file, then pauses longer than the settle time
// with the file still open: neither --once nor the service takes half of
// it; once it is closed, the whole file is imported once.
TEST(WatchSafety, WriterThatPausesWithTheFileOpenIsNeverTakenHalf) {
    kt::resetSchema();
    kt::countInserts();
    kt::WatchSite site(Section20P);
    // Close-on-exec: the watchers this test starts must not inherit the writer.
    const int writer = open((site.folder("drop") + "/20P_0001.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string first = kt::records20P(1, 200);
    const std::string rest = kt::records20P(201, 400);
    ASSERT_EQ(write(writer, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    kt::RunResult once = site.once();
    kt::RunningProgram watcher = site.follow();
    std::string err;
    const bool watching = kt::waitForError(watcher, "watching ", err, WaitSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const bool untouched = site.runFolders("archive").empty() && site.runFolders("failed").empty();
    const bool written = write(writer, rest.data(), rest.size()) == static_cast<ssize_t>(rest.size());
    close(writer);
    const bool taken = kt::waitFor([&] { return !site.runFolders("archive").empty(); }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_TRUE(contains(once.err, "still open for writing")) << once.err;
    ASSERT_TRUE(watching && untouched && written && taken) << err;
    EXPECT_EQ(kt::insertsSeen(), 400);
    EXPECT_EQ(copiesIn(site.folder("archive"), kt::records20P(1, 400)), 1);
}

// The server is stopped while files arrive, then started again: --once
// during the outage exits 4 and leaves the files, the service waits for the
// database with back-off, and every file is imported once, in order, with
// none in failed/.
TEST(WatchSafety, FilesRideOutANightWithoutTheDatabase) {
    if (kt::testdbDir().empty()) GTEST_SKIP() << "needs the fixture's server (KELVORA_TESTDB_DIR)";
    kt::resetSchema();
    kt::countInserts();
    kt::WatchSite site("[file *20P*]\ntype = 20P\nupdate = yes\n");
    site.deliver("20P_a.txt", kt::records20P(1, 3));
    site.deliver("20P_b.txt", kt::records20P(4, 6));
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(site.folder("drop") + "/20P_a.txt", now - std::chrono::seconds(20));
    fs::last_write_time(site.folder("drop") + "/20P_b.txt", now - std::chrono::seconds(10));
    const std::string testdb = "'" + kt::sourceDir() + "/scripts/testdb' ";
    kt::closeAdminConnection();
    ASSERT_EQ(kt::shell(testdb + "stop '" + kt::testdbDir() + "' >/dev/null"), 0);
    kt::RunResult away = site.once();
    kt::RunningProgram watcher = site.follow({"--outage-retry", "1"});
    std::string err;
    const bool waiting = kt::waitForError(watcher, "waits for the database", err, WaitSeconds);
    site.deliver("20P_c.txt", kt::records20P(7, 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const bool restarted = kt::shell(testdb + "restart '" + kt::testdbDir() + "' >/dev/null") == 0;
    const bool done = kt::waitFor([&] { return site.runFolders("archive").size() == 3; }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(restarted) << "the server did not come back";
    EXPECT_EQ(away.status, DatabaseAwayStatus) << away.err;
    EXPECT_TRUE(site.runFolders("failed").empty()) << away.err << err;
    ASSERT_TRUE(waiting && done) << err;
    EXPECT_EQ(kt::insertsSeen(), 9);
    const size_t a = err.find("20P_a.txt 20P: archived");
    const size_t b = err.find("20P_b.txt 20P: archived");
    const size_t c = err.find("20P_c.txt 20P: archived");
    EXPECT_TRUE(a < b && b < c && c != std::string::npos) << err;
    EXPECT_TRUE(contains(err, "the database is back after")) << err;
}

// With a marker, a writer that writes half, closes, and appends the rest
// later: the file is taken once, whole, when its marker comes; a marker
// whose sha256 the file does not match sends both to failed/, and the table
// keeps its rows.
TEST(WatchSafety, MarkerSaysWhenAFileIsWholeAndWhatItHolds) {
    kt::resetSchema();
    kt::countInserts();
    kt::WatchSite site("[file *20P*]\ntype = 20P\nmarker = {name}.done\n");
    kt::RunningProgram watcher = site.follow();
    std::string err;
    const bool watching = kt::waitForError(watcher, "watching ", err, WaitSeconds);
    const std::string whole = kt::records20P(1, 100);
    site.deliver("20P_a.txt", whole.substr(0, whole.size() / 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const bool waited = site.runFolders("archive").empty() && site.runFolders("failed").empty();
    std::ofstream(site.folder("drop") + "/20P_a.txt", std::ios::binary | std::ios::app) << whole.substr(whole.size() / 2);
    const std::string sha =
        kt::runProgram("/usr/bin/sha256sum", {site.folder("drop") + "/20P_a.txt"}, site.box().root()).out.substr(0, 64);
    site.deliver("20P_a.txt.done", "sha256=" + sha + "\nlines=100\n");
    const bool archived = kt::waitFor([&] { return !site.runFolders("archive").empty(); }, WaitSeconds);
    site.deliver("20P_b.txt", kt::records20P(201, 203));
    site.deliver("20P_b.txt.done", "sha256=" + sha + "\n");
    const bool failed = kt::waitFor([&] { return !site.runFolders("failed").empty(); }, WaitSeconds);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    ASSERT_TRUE(watching && waited && archived && failed) << err;
    EXPECT_EQ(kt::insertsSeen(), 100);
    EXPECT_EQ(kt::terminalsInTable().size(), 100u);
    const std::string run = site.runFolders("failed")[0];
    EXPECT_TRUE(contains(site.runFile("failed", run, "reason"), "does not match its marker")) << err;
    EXPECT_EQ(site.runFile("failed", run, "file/20P_b.txt"), kt::records20P(201, 203));
    EXPECT_EQ(site.runFile("failed", run, "marker/20P_b.txt.done"), "sha256=" + sha + "\n");
    for (const char* name : {"20P_a.txt.done", "20P_b.txt.done"}) {
        EXPECT_FALSE(fs::exists(site.folder("drop") + "/" + name)) << name;
    }
}

// Finds the report that an import orphaned by a killed watcher wrote into
// its run folder, and removes it, as a full disk would have kept it from
// being written; false when the import never got that far.
bool loseTheOrphansReport(const kt::WatchSite& site) {
    const std::string staging = site.box().workDir() + "/.kelvora-watch";
    std::string report;
    const bool ended = kt::waitFor([&] {
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(staging, error)) {
            if (entry.path().filename() == "report.json") report = entry.path().string();
        }
        return !report.empty();
    }, WaitSeconds);
    return ended && fs::remove(report);
}

// With the run journal, a run whose report was lost after its watcher was
// killed is known all the same: committed (archived) when the journal has
// its row, nothing committed when it has not; and the same file delivered
// again is refused, not imported twice.
TEST(WatchSafety, JournalKnowsWhatALostReportCannotAndRefusesAFileImportedBefore) {
    kt::resetSchema();
    kt::resetJournal();
    kt::countInserts();
    kt::WatchSite site("[file *20P*]\ntype = 20P\nupdate = yes\n");
    std::string config = kt::fileText(site.config());
    config.insert(config.find("\n\n") + 1, "journal = KELVORA.RUNS\n");
    std::ofstream(site.config(), std::ios::binary) << config;
    const std::string crash = "KELVORA_WATCH_CRASH_AT=running";

    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    EXPECT_EQ(site.once({crash}, {}).status, KilledStatus);
    ASSERT_TRUE(loseTheOrphansReport(site));
    kt::RunResult known = site.once();
    EXPECT_EQ(known.status, 0) << known.err;
    EXPECT_TRUE(contains(known.err, "committed, exit 0") && !contains(known.err, "unknown")) << known.err;
    EXPECT_EQ(site.runFolders("archive").size(), 1u) << known.err;

    kt::exec("CREATE TRIGGER refuse_t9 BEFORE INSERT ON MGSST20P FOR EACH ROW "
             "IF NEW.M20Trm = 'T9' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END IF");
    site.deliver("20P_0002.txt", kt::records20P(7, 9));
    EXPECT_EQ(site.once({crash}, {}).status, KilledStatus);
    ASSERT_TRUE(loseTheOrphansReport(site));
    kt::RunResult absent = site.once();
    EXPECT_EQ(absent.status, FilesFailedStatus) << absent.err;
    EXPECT_TRUE(contains(absent.err, "not in the journal, so nothing was committed")) << absent.err;

    site.deliver("20P_0003.txt", kt::records20P(1, 3));
    kt::RunResult again = site.once();
    EXPECT_EQ(again.status, FilesFailedStatus) << again.err;
    EXPECT_TRUE(contains(again.err, "already imported on ")) << again.err;
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 1);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
}

// A sender replaces the drop folder's lock file by a link to the settings
// file: the watcher never writes through it, names the file and what to do,
// and exits with the status that leaves the service restarting (not 7).
TEST(WatchSafety, LockFileLinkedToTheSettingsLeavesThemUnchanged) {
    kt::WatchSite site(Section20P);
    const std::string settings = site.box().root() + "/Files/Corvantis.Ini";
    const std::string before = kt::fileText(settings);
    ASSERT_EQ(symlink(settings.c_str(), (site.folder("drop") + "/.kelvora-watch.lock").c_str()), 0);
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, LockFileUnusableStatus) << run.err;
    EXPECT_TRUE(contains(run.err, ".kelvora-watch.lock")) << run.err;
    EXPECT_TRUE(contains(run.err, "chmod 3770")) << run.err;
    EXPECT_EQ(kt::fileText(settings), before);
}

// With a catch-all section that converts from UTF-8, deliveries named like
// the run's own files, one with a newline and one too long for a run folder
// beside its time stamp: each is imported and archived with every byte, the
// newline forges no log line, and each gets a receipt of its own whose
// name fits and holds no newline.
TEST(WatchSafety, NamesOfAnyBytesKeepTheirFilesAndForgeNoLogLine) {
    kt::resetSchema();
    kt::WatchSite site("[file *]\ntype = 20P\nupdate = yes\nencoding = utf-8\n");
    const std::string receipts = site.folder("receipts");
    fs::create_directories(receipts);
    std::string config = kt::fileText(site.config());
    std::ofstream(site.config(), std::ios::binary) << config.insert(config.find("\n\n") + 1,
                                                                    "receipts = " + receipts + "\n");
    const std::string forged = "x\nkelvora-watch: forged.txt";
    const std::string longName = std::string(240, 'L') + ".txt";
    const std::vector<std::string> names = {"reason", "stderr.txt", "state", forged, longName};
    for (size_t i = 0; i < names.size(); ++i) {
        site.deliver(names[i], kt::records20P(static_cast<int>(10 * i + 1), static_cast<int>(10 * i + 2)));
    }
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), names.size()) << run.err;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string bytes = kt::records20P(static_cast<int>(10 * i + 1), static_cast<int>(10 * i + 2));
        EXPECT_EQ(copiesIn(site.folder("archive"), bytes), 2) << names[i];   // as delivered, and its work file
    }
    EXPECT_EQ(kt::countRows("MGSST20P"), 10);
    for (const std::string& line : kt::lines(run.err)) EXPECT_NE(line.rfind("kelvora-watch: forged", 0), 0u) << line;
    EXPECT_TRUE(contains(run.err, "x\\nkelvora-watch: forged.txt 20P: 2 lines")) << run.err;
    std::set<std::string> answered;
    for (const auto& entry : fs::directory_iterator(receipts)) {
        const std::string name = entry.path().filename().string();
        EXPECT_LE(name.size(), static_cast<size_t>(NAME_MAX)) << name;
        EXPECT_EQ(name.find_first_of("\n/"), std::string::npos) << name;
        answered.insert(nlohmann::json::parse(kt::fileText(entry.path().string()), nullptr, false).value("name", ""));
    }
    EXPECT_EQ(answered, (std::set<std::string>{"reason", "stderr.txt", "state", "x\\nkelvora-watch: forged.txt",
                                               longName}));
}

// Two watchers, two drop folders, one working directory, the same name
// delivered to both at once, both imports held by a table lock so that
// they run side by side: each file is imported under its own work file and
// archived with its own bytes.
TEST(WatchSafety, TwoWatchersSharingAWorkdirKeepTheirWorkFilesApart) {
    kt::resetSchema();
    kt::WatchSite site("[file k20P*]\ntype = 20P\nupdate = yes\n");
    const std::string second = site.folder("drop2");
    fs::create_directories(second);
    std::string text = kt::fileText(site.config());
    const std::string drop = "drop = " + site.folder("drop") + "\n";
    const std::string config2 = site.folder("watch2.conf");
    std::ofstream(config2, std::ios::binary) << text.replace(text.find(drop), drop.size(), "drop = " + second + "\n");
    site.deliver("k20P.txt", kt::records20P(1, 300));
    std::ofstream(second + "/k20P.txt", std::ios::binary) << kt::records20P(301, 600);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    kt::Session other;
    ASSERT_EQ(other.exec("LOCK TABLES MGSST20P WRITE"), 0);
    kt::RunningProgram first = site.follow({"--once"});
    kt::RunningProgram next = kt::startProgram(KELVORA_WATCH, {"--config", config2, "--once"}, site.box().root());
    const bool both = kt::waitFor([] {
        const std::vector<kt::Row> waiting = kt::query(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE STATE LIKE 'Waiting for table%'");
        return waiting.size() == 1 && waiting[0][0] == std::string("2");
    }, WaitSeconds / 4);
    other.exec("UNLOCK TABLES");
    kt::RunResult run = kt::waitProgram(first);
    kt::RunResult run2 = kt::waitProgram(next);
    EXPECT_TRUE(both) << run.err << run2.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run2.status, 0) << run2.err;
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), 2u) << run.err << run2.err;
    EXPECT_EQ(copiesIn(site.folder("archive"), kt::records20P(1, 300)), 1);
    EXPECT_EQ(copiesIn(site.folder("archive"), kt::records20P(301, 600)), 1);
    EXPECT_EQ(kt::countRows("MGSST20P"), 600);
}

// archive/ on a file system that is full: the run stays whole in the
// staging area, the log never says "archived", --once exits 1, and the
// next run files it once there is room.
TEST(WatchSafety, FullArchiveKeepsTheRunWholeUntilThereIsRoom) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string archive = site.folder("archive");
    if (mount("tmpfs", archive.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    }
    const std::string filler = archive + "/filler";
    std::ofstream(filler, std::ios::binary) << std::string(255 * 1024, 'x');
    const std::string bytes = kt::records20P(1, 300);
    site.deliver("20P_0001.txt", bytes);
    kt::RunResult full = site.once();
    fs::remove(filler);
    kt::RunResult roomy = site.once();
    umount2(archive.c_str(), MNT_DETACH);
    EXPECT_EQ(full.status, FilesFailedStatus) << full.err;
    EXPECT_FALSE(contains(full.err, "archived")) << full.err;
    EXPECT_TRUE(contains(full.err, "not filed: cannot move the run folder into " + archive)) << full.err;
    EXPECT_EQ(roomy.status, 0) << roomy.err;
    EXPECT_TRUE(contains(roomy.err, "archived in " + archive)) << roomy.err;
    EXPECT_EQ(kt::terminalsInTable().size(), 300u);
}

// The watcher killed at each step of a run, then started again: the file
// is imported exactly once, whole in one place (archive/) at the end, and
// the outcome is the true one. A sender's file is copied, the watcher's own
// renamed: the steps take turns with both.
TEST(WatchSafety, WatcherKilledAtEachStepImportsTheFileOnceAndFilesItTruly) {
    const std::pair<const char*, bool> steps[] = {{"taking", true},   {"copied", true},   {"taken", false},
                                                  {"checked", true},  {"started", false}, {"running", true},
                                                  {"filing", false}};
    for (const auto& [step, senders] : steps) {
        SCOPED_TRACE(step);
        kt::resetSchema();
        kt::countInserts();
        kt::WatchSite site(Section20P);
        const std::string bytes = kt::records20P(1, 3);
        site.deliver("20P_0001.txt", bytes);
        if (senders) {
            ASSERT_EQ(chown((site.folder("drop") + "/20P_0001.txt").c_str(), 65534, 65534), 0);
        }
        kt::RunResult killed = site.once({std::string("KELVORA_WATCH_CRASH_AT=") + step}, {});
        EXPECT_EQ(killed.status, KilledStatus) << killed.err;
        kt::RunResult again = site.once();
        EXPECT_EQ(again.status, 0) << killed.err << again.err;
        EXPECT_EQ(kt::insertsSeen(), 3) << again.err;
        const std::vector<std::string> archived = site.runFolders("archive");
        ASSERT_EQ(archived.size(), 1u) << again.err;
        EXPECT_TRUE(contains(site.runFile("archive", archived[0], "state"), "\"outcome\": \"committed\""));
        EXPECT_EQ(copiesIn(site.folder("archive"), bytes), 1);
        for (const char* folder : {"drop", "failed"}) EXPECT_EQ(copiesIn(site.folder(folder), bytes), 0) << folder;
        EXPECT_EQ(copiesIn(site.box().workDir(), bytes), 0);
        const std::string folder = site.folder("archive") + "/" + archived[0];
        for (const auto& [path, mode] : {std::pair{folder, 0750}, std::pair{folder + "/report.json", 0640},
                                         std::pair{folder + "/file", 0750}, std::pair{folder + "/state", 0640}}) {
            struct stat info {};
            stat(path.c_str(), &info);
            EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(mode)) << path;
        }
    }
}

// The importer of a run is killed while it waits for a lock: it leaves no
// report, so the watcher cannot know whether it committed, and says so in
// the log, the reason and --once's exit status.
TEST(WatchSafety, ImportKilledWithoutAReportIsUnknownNotUncommitted) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    ASSERT_EQ(other.exec("UPDATE MGSST20P SET M20Ofb = 'LOCK'"), 0);
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    kt::RunningProgram watcher = site.follow({"--once"});
    const bool waiting =
        kt::waitFor([] { return kt::waitingThread("DELETE FROM Ruruvuro.MGSST20P") > 0; }, WaitSeconds);
    const int killed = waiting ? kt::shell("pkill -KILL -f '^" + std::string(KELVORA_PROGRAM) + " '") : -1;
    kt::RunResult run = kt::waitProgram(watcher);
    other.exec("ROLLBACK");
    ASSERT_TRUE(waiting) << run.err;
    EXPECT_EQ(killed, 0);
    EXPECT_EQ(run.status, OutcomeUnknownStatus) << run.err;
    EXPECT_TRUE(contains(run.err, "unknown whether committed")) << run.err;
    EXPECT_FALSE(contains(run.err, "nothing committed")) << run.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << run.err;
    EXPECT_TRUE(contains(site.runFile("failed", failed[0], "reason"), "whether it was committed is unknown"));
    EXPECT_EQ(copiesIn(site.folder("failed"), kt::records20P(1, 3)), 1);
}

// A configuration that cannot work is refused at the start: a settle time
// of 0, and a workdir that is not two levels below Files/.
TEST(WatchSafety, ConfigurationThatCannotWorkIsRefusedAtTheStart) {
    kt::WatchSite site(Section20P);
    const std::string text = kt::fileText(site.config());
    const std::string settle = "settle = 1\n";
    std::string noSettle = text;
    std::ofstream(site.config(), std::ios::binary) << noSettle.replace(noSettle.find(settle), settle.size(), "settle = 0\n");
    kt::RunResult zero = site.once();
    EXPECT_EQ(zero.status, UsageStatus) << zero.err;
    EXPECT_TRUE(contains(zero.err, "settle = 0")) << zero.err;
    const std::string workdir = "workdir = " + site.box().workDir() + "\n";
    std::string shallow = text;
    std::ofstream(site.config(), std::ios::binary)
        << shallow.replace(shallow.find(workdir), workdir.size(), "workdir = " + site.box().root() + "\n");
    kt::RunResult misplaced = site.once();
    EXPECT_EQ(misplaced.status, UsageStatus) << misplaced.err;
    EXPECT_TRUE(contains(misplaced.err, "Files/Corvantis.Ini cannot be read")) << misplaced.err;
}

// A configuration that says a thing twice, or folders that are one, is
// refused at the start and names both: a key repeated in a section (both
// lines), archive = the drop folder (both keys, with the folder), and a
// receipts folder inside the drop folder, whose receipts would be taken as
// deliveries. Nothing is taken from the drop folder.
TEST(WatchSafety, ConfigurationThatSaysAThingTwiceOrSharesAFolderIsRefused) {
    kt::WatchSite site(Section20P);
    const std::string text = kt::fileText(site.config());
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    ASSERT_EQ(kt::lines(text)[9], "type = 20P");   // line 10
    std::ofstream(site.config(), std::ios::binary) << text + "type = 20P\n";
    kt::RunResult twice = site.once();
    EXPECT_EQ(twice.status, UsageStatus) << twice.err;
    EXPECT_TRUE(contains(twice.err, "line 11: type is said twice in [file *20P*]: at line 10 and at line 11"))
        << twice.err;

    const std::string archive = "archive = " + site.folder("archive") + "\n";
    std::string shared = text;
    std::ofstream(site.config(), std::ios::binary)
        << shared.replace(shared.find(archive), archive.size(), "archive = " + site.folder("drop") + "/\n");
    kt::RunResult oneFolder = site.once();
    EXPECT_EQ(oneFolder.status, UsageStatus) << oneFolder.err;
    EXPECT_TRUE(contains(oneFolder.err, "drop = " + site.folder("drop") + " and archive = " + site.folder("drop") +
                                            "/ are one folder, " + fs::canonical(site.folder("drop")).string()))
        << oneFolder.err;
    const std::string inDrop = site.folder("drop") + "/receipts";
    fs::create_directories(inDrop);
    std::string receipts = text;
    std::ofstream(site.config(), std::ios::binary) << receipts.insert(receipts.find("\n\n") + 1,
                                                                      "receipts = " + inDrop + "\n");
    kt::RunResult inside = site.once();
    EXPECT_EQ(inside.status, UsageStatus) << inside.err;
    EXPECT_TRUE(contains(inside.err, "receipts = " + inDrop + " lies inside drop = " + site.folder("drop")))
        << inside.err;
    EXPECT_TRUE(fs::exists(site.folder("drop") + "/20P_0001.txt"));
    EXPECT_TRUE(site.runFolders("failed").empty());
}

// Started with standard input, output and error closed, the watcher logs
// into /dev/null, never into the drop folder's lock file, which senders
// can read; it works as ever and files the failed file.
TEST(WatchSafety, WatcherStartedWithoutStandardDescriptorsLogsIntoNoFileOfTheDropFolder) {
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", kt::records20P(1, 2) + "short\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // the settle time
    const std::string closed = "exec \"$0\" --config \"$1\" --once <&- >&- 2>&-";
    kt::RunResult run = kt::runProgram("/bin/sh", {"-c", closed, KELVORA_WATCH, site.config()}, site.box().root());
    EXPECT_EQ(run.status, FilesFailedStatus);
    EXPECT_EQ(site.runFolders("failed").size(), 1u);
    const std::string lock = kt::fileText(site.folder("drop") + "/.kelvora-watch.lock");
    EXPECT_FALSE(contains(lock, "kelvora-watch:")) << lock;
    EXPECT_FALSE(contains(lock, "20P_0001.txt")) << lock;
}
