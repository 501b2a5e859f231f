// kelvora-watch with real inotify, the real importer and the throwaway
// server: a file is taken only once it is complete, files that would do
// damage never reach the importer, a UTF-8 file is converted, files for one
// table go in the order they arrived, and a stop lets the running import
// finish. (The retry after a deadlock is among the fault tests.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

constexpr int SettleSeconds = 1;
constexpr int WaitSeconds = 60;
constexpr int FilesFailedStatus = 1;
constexpr int LockedStatus = 7;
constexpr int EntriesNotTakenStatus = 3;
// node_exporter's textfile collector: the age of the metrics file, which
// tells a watcher that no longer writes it.
constexpr const char* CollectorFileAge = "node_textfile_mtime_seconds";
constexpr int OutcomeUnknownStatus = 6;
const char* const Section20P = "[file *20P*]\ntype = 20P\n";

std::string kstLine(const std::string& kst, const std::string& txt) {
    return kt::field(kst, 30) + kt::field("01", 5) + kt::field("L1", 5) + kt::field("", 7) + kt::field("S1", 7) +
           kt::field(txt, 30) + kt::field("erf", 50) + "\n";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Adds keys to the [site] section of the site's configuration.
void addSiteKeys(const kt::WatchSite& site, const std::string& keys) {
    std::string config = kt::fileText(site.config());
    config.insert(config.find("\n\n") + 1, keys);
    std::ofstream(site.config(), std::ios::binary) << config;
}

// The drop folder holds nothing but the watcher's lock file.
bool dropIsEmpty(const kt::WatchSite& site) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(site.folder("drop"), error)) {
        if (entry.path().filename() != ".kelvora-watch.lock") return false;
    }
    return true;
}

// Starts a watcher on site and delivers three 20P records, whose import
// then waits for the row locks that other takes first. False when it never
// comes to wait; the watcher runs either way.
bool importWaitsForALock(const kt::WatchSite& site, kt::Session& other, kt::RunningProgram& watcher,
                         std::string& err) {
    const bool locked = other.exec("UPDATE MGSST20P SET M20Ofb = 'LOCK'") == 0;
    watcher = site.follow();
    if (!locked || !kt::waitForError(watcher, "watching ", err, WaitSeconds)) return false;
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    return kt::waitFor([] { return kt::waitingThread("DELETE FROM Ruruvuro.MGSST20P") > 0; }, WaitSeconds);
}

// The receipt of that name in the folder, parsed; a discarded value when
// it is missing or no JSON.
nlohmann::json receiptIn(const std::string& folder, const std::string& name) {
    return nlohmann::json::parse(kt::fileText(folder + "/" + name), nullptr, false);
}

// The SHA-256 of the bytes, as sha256sum gives it.
std::string sha256Of(const kt::WatchSite& site, const std::string& bytes) {
    const std::string path = site.folder("hashed");
    std::ofstream(path, std::ios::binary) << bytes;
    return kt::runProgram("/usr/bin/sha256sum", {path}, site.box().root()).out.substr(0, 64);
}

// Occurrences of part in text.
size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) count++;
    return count;
}

// A line of /proc/PID/status, in KiB ("VmHWM"); -1 when it cannot be read.
long procStatusKb(int pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

// The CPU time the process has used (user and system), in seconds.
double cpuSeconds(int pid) {
    const std::string stat = kt::fileText("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) ticks += strtol(field.c_str(), nullptr, 10);   // utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Reads the watcher's standard error until it holds part count times more
// than it did (so that its pipe never fills); false after seconds.
bool waitForLines(kt::RunningProgram& watcher, const std::string& part, size_t count, std::string& err,
                  int seconds) {
    const size_t wanted = countOf(err, part) + count;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (countOf(err, part) < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !kt::waitForError(watcher, part, err, static_cast<int>(left.count()))) return false;
    }
    return true;
}

}  // namespace

// Written through one descriptor in three pieces, with pauses longer than
// the settle time: the file is taken only after it was closed, so it is
// imported once, whole.
TEST(Watch, FileWrittenInPiecesWithPausesIsImportedOnceAndWhole) {
    kt::resetSchema();
    kt::WatchSite site(Section20P, SettleSeconds);
    kt::RunningProgram watcher = site.follow();
    std::string err;
    ASSERT_TRUE(kt::waitForError(watcher, "watching ", err, WaitSeconds)) << err;
    const std::string pieces[] = {kt::records20P(1, 40), kt::records20P(41, 80), kt::records20P(81, 120)};
    {
        std::ofstream out(site.folder("drop") + "/20P_0001.txt", std::ios::binary);
        for (const std::string& piece : pieces) {
            out << piece << std::flush;
            if (&piece != &pieces[2]) std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        }
    }
    const bool taken = kt::waitFor([&] { return dropIsEmpty(site) && !site.runFolders("archive").empty(); },
                                   WaitSeconds);
    kill(watcher.pid, SIGTERM);
    kt::RunResult run = kt::waitProgram(watcher);
    err += run.err;
    ASSERT_TRUE(taken) << err;
    EXPECT_EQ(run.status, 0) << err;
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), 1u) << err;
    EXPECT_EQ(site.runFile("archive", archived[0], "file/20P_0001.wrk"), pieces[0] + pieces[1] + pieces[2]);
    EXPECT_EQ(kt::countRows("MGSST20P"), 120);
    EXPECT_TRUE(site.runFolders("failed").empty()) << err;
}

// A file linked into the drop folder (ln) arrives whole, with no close
// after writing to wait for: it is taken once it has settled. Its name, in
// other case than the section's glob, still matches.
TEST(Watch, FileLinkedInIsTaken) {
    kt::resetSchema();
    kt::WatchSite site(Section20P, SettleSeconds);
    kt::RunningProgram watcher = site.follow();
    std::string err;
    ASSERT_TRUE(kt::waitForError(watcher, "watching ", err, WaitSeconds)) << err;
    const std::string outside = site.folder("20P_0001.txt");
    std::ofstream(outside, std::ios::binary) << kt::records20P(1, 3);
    ASSERT_EQ(link(outside.c_str(), (site.folder("drop") + "/20p_0001.TXT").c_str()), 0);
    const bool taken = kt::waitFor([&] { return !site.runFolders("archive").empty(); }, WaitSeconds / 4);
    kill(watcher.pid, SIGTERM);
    err += kt::waitProgram(watcher).err;
    EXPECT_TRUE(taken) << err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
}

// SIGTERM while the import waits for a lock: the watcher lets it finish and
// commit, then ends with 0. Meanwhile a second watcher for the same drop
// folder refuses to start and names the first.
TEST(Watch, StopLetsTheRunningImportCommitAndASecondWatcherIsRefused) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    kt::WatchSite site(Section20P);
    kt::RunningProgram watcher;
    std::string err;
    const bool waiting = importWaitsForALock(site, other, watcher, err);
    const int watcherPid = watcher.pid;

    kt::RunResult second = site.once();
    kill(watcherPid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    other.exec("ROLLBACK");
    kt::RunResult run = kt::waitProgram(watcher);
    err += run.err;
    ASSERT_TRUE(waiting) << err;
    EXPECT_EQ(second.status, LockedStatus) << second.err;
    EXPECT_TRUE(contains(second.err, "pid " + std::to_string(watcherPid) + " on host")) << second.err;

    EXPECT_EQ(run.status, 0) << err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_EQ(site.runFolders("archive").size(), 1u) << err;
}

// The watcher is killed while its import waits for a lock; the import
// lives on. A new watcher finds the run held by it: it waits, takes no
// other 20P file meanwhile, and once the orphaned import has committed it
// archives that run by its report, then imports the next file.
TEST(Watch, ImportThatOutlivesItsKilledWatcherIsWaitedForThenFiledByItsReport) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    kt::WatchSite site(Section20P);
    kt::RunningProgram first;
    std::string err;
    const bool waiting = importWaitsForALock(site, other, first, err);
    kill(first.pid, SIGKILL);
    kt::waitProgram(first);
    ASSERT_TRUE(waiting) << err;
    site.deliver("20P_0002.txt", kt::records20P(4, 6));
    kt::RunningProgram second = site.follow();
    const bool heldBack = kt::waitForError(second, "held by an importer that outlived its watcher", err, WaitSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const bool untouched = std::filesystem::exists(site.folder("drop") + "/20P_0002.txt") &&
                           site.runFolders("archive").empty() && site.runFolders("failed").empty();
    other.exec("ROLLBACK");
    const bool done = kt::waitFor([&] { return site.runFolders("archive").size() == 2; }, WaitSeconds);
    kill(second.pid, SIGTERM);
    err += kt::waitProgram(second).err;
    EXPECT_TRUE(heldBack) << err;
    EXPECT_TRUE(untouched) << err;
    ASSERT_TRUE(done) << err;
    const std::vector<std::string> archived = site.runFolders("archive");
    EXPECT_EQ(site.runFile("archive", archived[0], "file/20P_0001.wrk"), kt::records20P(1, 3));
    EXPECT_EQ(site.runFile("archive", archived[1], "file/20P_0002.wrk"), kt::records20P(4, 6));
    EXPECT_TRUE(site.runFolders("failed").empty()) << err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T4"}, {"T5"}, {"T6"}}));
}

// A clearing delete that fails does not stop IDN on its own; under the
// watcher (which sets KELVORA_MAX_FAILED) such a run commits nothing and
// goes to failed/, and the table keeps what it held.
TEST(Watch, RunWhoseClearingFailedCommitsNothingAndGoesToFailed) {
    kt::resetSchema();
    kt::exec("INSERT INTO QVS301ASW (AswNum, AswGvo, AswBkl) VALUES ('old', '2001-01-01', '0')");
    kt::exec("CREATE TRIGGER keep_identities BEFORE DELETE ON QVS301ASW FOR EACH ROW "
             "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'kept by the site'");
    kt::WatchSite site("[file IDN*]\ntype = IDN\n");
    const std::string samples = site.folder("samples");
    const std::vector<std::string> write = {"--clean", samples, "3", "IDN"};
    ASSERT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, write, site.box().workDir()).status, 0);
    std::filesystem::rename(samples + "/IDN.txt", site.folder("drop") + "/IDN_0001.txt");
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << run.err;
    EXPECT_TRUE(contains(site.runFile("failed", failed[0], "reason"), "nothing was committed"));
    EXPECT_TRUE(site.runFolders("archive").empty());
    EXPECT_EQ(kt::countRows("QVS301ASW"), 1);
}

// A transfer cut off in the middle of a line goes to failed/ with its
// reason; the importer never sees it, so the table keeps its rows.
TEST(Watch, FileCutOffMidLineGoesToFailedAndTheTableIsUnchanged) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::WatchSite site(Section20P);
    const std::string cut = kt::records20P(1, 2) + kt::record20P(3).substr(0, 100);
    site.deliver("20P_0001.txt", cut);
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << run.err;
    EXPECT_EQ(site.runFile("failed", failed[0], "file/20P_0001.txt"), cut);
    EXPECT_TRUE(contains(site.runFile("failed", failed[0], "reason"), "cut off"));
    EXPECT_TRUE(site.runFolders("archive").empty());
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
}

// An empty FTG file, and one of line ends only, would empty the table: both
// go to failed/, and the table keeps its row.
TEST(Watch, EmptyFileGoesToFailedAndTheTableIsUnchanged) {
    kt::resetSchema();
    kt::exec("INSERT INTO MGSSTFTG (FTGTrm, FTGTxt) VALUES ('T1', 'Neujahr')");
    kt::WatchSite site("[file FTG*]\ntype = FTG\n");
    site.deliver("FTG_empty.txt", "");
    site.deliver("FTG_newlines.txt", "\r\n\n");
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 2u) << run.err;
    for (const std::string& folder : failed) {
        EXPECT_TRUE(contains(site.runFile("failed", folder, "reason"), "empty")) << folder;
    }
    EXPECT_EQ(kt::query("SELECT FTGTrm, FTGTxt FROM MGSSTFTG"), (std::vector<kt::Row>{{"T1", "Neujahr"}}));
}

// encoding = utf-8: the file (with a byte order mark) is converted before
// the import, its lines are judged after the conversion, and the umlauts
// reach the table as Windows-1252 bytes. The delivered file is kept beside
// the converted work file.
TEST(Watch, Utf8FileIsConvertedAndItsUmlautsStoredAsWindows1252) {
    kt::resetSchema();
    kt::WatchSite site("[file KST*]\ntype = KST\nencoding = utf-8\n");
    const std::string windows1252 = kstLine("K\xC4SE", "Gr\xF6\xDF" "e \xE4\xF6\xFC");
    const std::string delivered = "\xEF\xBB\xBF" + kt::utf8Of(windows1252);
    site.deliver("KST_0001.txt", delivered);
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(kt::query("SELECT HEX(KidKst), HEX(KidTxt) FROM QVS120KID"),
              (std::vector<kt::Row>{{"4BC45345", "4772F6DF6520E4F6FC"}}));
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), 1u) << run.err;
    EXPECT_EQ(site.runFile("archive", archived[0], "file/KST_0001.wrk"), windows1252);
    EXPECT_EQ(site.runFile("archive", archived[0], "delivered/KST_0001.txt"), delivered);
}

// Two syncs of one table go in the order they arrived (modification time),
// not in the order of their names, even when imports may run side by side:
// the later file decides what the table holds.
TEST(Watch, TwoFilesForOneTableAreImportedInTheOrderTheyArrived) {
    kt::resetSchema();
    kt::WatchSite site("[file KST*]\ntype = KST\n");
    site.deliver("KST_b.txt", kstLine("FIRST", ""));
    site.deliver("KST_a.txt", kstLine("SECOND", ""));
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(site.folder("drop") + "/KST_b.txt", now - std::chrono::seconds(20));
    std::filesystem::last_write_time(site.folder("drop") + "/KST_a.txt", now - std::chrono::seconds(10));
    kt::RunResult run = site.once({"--parallel", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(kt::query("SELECT KidKst FROM QVS120KID"), (std::vector<kt::Row>{{"SECOND"}}));
    const size_t first = run.err.find("KST_b.txt KST: 1 line,");
    const size_t second = run.err.find("KST_a.txt KST: 1 line,");
    ASSERT_NE(second, std::string::npos) << run.err;
    EXPECT_LT(first, second) << run.err;
    EXPECT_EQ(site.runFolders("archive").size(), 2u) << run.err;
}

// What an operator is told without looking: a failed file runs the
// on-failed hook with the run in its environment, the metrics file counts
// a whole and a failed file in the Prometheus text format, and status
// names a file no section matches and the failed run, with exit status 1.
TEST(Watch, FailedRunReachesTheHookTheMetricsAndTheStatus) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string hookOut = site.folder("hook.txt");
    const std::string metrics = site.folder("kelvora.prom");
    addSiteKeys(site, "on-failed = /bin/sh -c \"env | grep ^KELVORA_ > " + hookOut + "\"\nmetrics = " + metrics + "\n");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    site.deliver("20P_0002.txt", kt::records20P(4, 5) + "short\n");
    kt::RunResult run = site.once();
    site.deliver("unknown.csv", "x\n");
    kt::RunResult status = kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "status"}, site.box().root());
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    const std::string hook = kt::fileText(hookOut);
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << run.err;
    EXPECT_TRUE(contains(hook, "KELVORA_RUN_FOLDER=" + site.folder("failed") + "/" + failed[0] + "\n")) << hook;
    EXPECT_TRUE(contains(hook, "KELVORA_FILE=20P_0002.txt\n")) << hook;
    EXPECT_TRUE(contains(hook, "KELVORA_TYPE=20P\n")) << hook;
    EXPECT_TRUE(contains(hook, "KELVORA_OUTCOME=nothing committed\n")) << hook;
    const std::string text = kt::fileText(metrics);
    for (const std::string& line : kt::lines(text)) {
        const bool comment = line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0;
        const size_t blank = line.rfind(' ');
        EXPECT_TRUE(comment || (blank != std::string::npos && line.find_first_not_of("0123456789.e+-", blank + 1) ==
                                                                   std::string::npos)) << line;
    }
    EXPECT_TRUE(contains(text, "kelvora_watch_files_imported_total{type=\"20P\"} 1\n")) << text;
    EXPECT_TRUE(contains(text, "kelvora_watch_files_failed_total{type=\"20P\"} 1\n")) << text;
    EXPECT_TRUE(contains(text, "kelvora_watch_failed_unseen 1\n")) << text;
    EXPECT_EQ(status.status, 1) << status.out;
    EXPECT_TRUE(contains(status.out, "unknown.csv: waits for a [file] section")) << status.out;
    EXPECT_TRUE(contains(status.out, failed[0])) << status.out;
    kt::RunResult untaken = site.once();
    kt::RunResult again = site.once();
    EXPECT_EQ(untaken.status, EntriesNotTakenStatus) << untaken.err;
    EXPECT_EQ(again.status, EntriesNotTakenStatus) << again.err;
    EXPECT_TRUE(contains(untaken.err, "unknown.csv matches no")) << untaken.err;
    EXPECT_FALSE(contains(again.err, "unknown.csv matches no")) << "named once per entry, not per start";
    // Once a person has seen it, the failed run needs nobody, in the metrics
    // of the next start too.
    const std::string failedRun = site.folder("failed") + "/" + failed[0];
    EXPECT_EQ(kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "ack", failedRun}, site.box().root()).status, 0);
    site.once();
    EXPECT_TRUE(contains(kt::fileText(metrics), "kelvora_watch_failed_unseen 0\n")) << kt::fileText(metrics);
}

// The index just past the bracket that closes the one at "at", skipping
// quoted strings (a label's value may hold brackets).
size_t pastClosing(const std::string& expr, size_t at, char close) {
    for (++at; at < expr.size() && expr[at] != close; ++at) {
        if (expr[at] == '"') at = expr.find('"', at + 1);
        if (at == std::string::npos) return expr.size();
    }
    return std::min(at + 1, expr.size());
}

// A character of a PromQL name: a metric's, a label's or a function's.
bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == ':';
}

// The metric names a PromQL expression asks for: its words outside strings,
// label matchers and ranges that are no function (a "(" follows), no
// operator or aggregation (its grouping clause may come first) and no label
// of a grouping clause.
std::set<std::string> metricNamesIn(const std::string& expr) {
    static const std::set<std::string> operators = {"and",   "or",    "unless", "bool",  "offset", "sum",
                                                    "min",   "max",   "avg",    "group", "count",  "stddev",
                                                    "stdvar", "topk", "bottomk", "quantile", "count_values"};
    static const std::set<std::string> grouping = {"by", "without", "on", "ignoring", "group_left", "group_right"};
    std::set<std::string> names;
    size_t at = 0;
    while (at < expr.size()) {
        const char c = expr[at];
        if (c == '"' || c == '{' || c == '[') {
            at = pastClosing(expr, at, c == '"' ? '"' : c == '{' ? '}' : ']');
            continue;
        }
        if (!isNameChar(c)) {
            at++;
            continue;
        }
        size_t end = at;
        while (end < expr.size() && isNameChar(expr[end])) end++;
        const std::string word = expr.substr(at, end - at);
        const size_t next = std::min(expr.find_first_not_of(' ', end), expr.size());
        const bool call = next < expr.size() && expr[next] == '(';
        if (grouping.count(word) != 0 && call) {
            end = pastClosing(expr, next, ')');
        } else if (!call && operators.count(word) == 0 && std::isdigit(static_cast<unsigned char>(c)) == 0) {
            names.insert(word);
        }
        at = end;
    }
    return names;
}

// The names of the metrics that have a sample in a metrics file.
std::set<std::string> sampledMetrics(const std::string& text) {
    std::set<std::string> names;
    for (const std::string& line : kt::lines(text)) {
        if (!line.empty() && line[0] != '#') names.insert(line.substr(0, line.find_first_of("{ ")));
    }
    return names;
}

// Every "expr" in a Grafana dashboard, however deep.
void dashboardExpressions(const nlohmann::json& node, std::vector<std::string>& exprs) {
    if (node.is_object() && node.contains("expr") && node["expr"].is_string()) exprs.push_back(node["expr"]);
    if (!node.is_structured()) return;
    for (const auto& child : node) dashboardExpressions(child, exprs);
}

// Every "expr:" of a rules file, each on its line.
std::vector<std::string> ruleExpressions(const std::string& text) {
    std::vector<std::string> exprs;
    for (const std::string& line : kt::lines(text)) {
        const size_t key = line.find_first_not_of(' ');
        if (key != std::string::npos && line.compare(key, 6, "expr: ") == 0) exprs.push_back(line.substr(key + 6));
    }
    return exprs;
}

// What a monitoring site is told: a file past its section's marker-wait
// without its marker is counted (one within it is not), every configured
// type code's counters are there at 0 before its first run, and the shipped
// alerting rules and dashboard are valid and ask only for metrics a real
// watcher run wrote (and, for the watcher's silence, the collector's age
// of the file).
TEST(Watch, MetricsCountOverdueMarkersAndServeTheShippedRulesAndDashboard) {
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "[file *KST*]\ntype = KST\nmarker = {name}.done\nmarker-wait = 0\n" +
                       "[file *FTG*]\ntype = FTG\nmarker = {name}.done\n");
    const std::string metrics = site.folder("kelvora.prom");
    addSiteKeys(site, "metrics = " + metrics + "\n");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    site.deliver("20P_0002.txt", kt::records20P(4, 5) + "short\n");
    site.deliver("KST_0001.txt", kstLine("WAITS", ""));
    site.deliver("FTG_0001.txt", "waits within its marker-wait\n");
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    const std::string text = kt::fileText(metrics);
    EXPECT_TRUE(contains(text, "\nkelvora_watch_files_marker_overdue 1\n")) << text;
    EXPECT_TRUE(contains(text, "\nkelvora_watch_files_failed_total{type=\"KST\"} 0\n")) << text;
    EXPECT_TRUE(contains(text, "\nkelvora_watch_files_imported_total{type=\"FTG\"} 0\n")) << text;
    std::set<std::string> written = sampledMetrics(text);
    const nlohmann::json dashboard =
        nlohmann::json::parse(kt::fileText(KELVORA_SOURCE_DIR "/monitoring/kelvora-watch.json"), nullptr, false);
    ASSERT_FALSE(dashboard.is_discarded()) << "the dashboard is not valid JSON";
    std::vector<std::string> exprs;
    dashboardExpressions(dashboard, exprs);
    const std::vector<std::string> rules =
        ruleExpressions(kt::fileText(KELVORA_SOURCE_DIR "/monitoring/kelvora-watch.rules.yml"));
    EXPECT_FALSE(exprs.empty());
    EXPECT_FALSE(rules.empty());
    for (const std::string& expr : exprs) {
        const std::set<std::string> names = metricNamesIn(expr);
        EXPECT_FALSE(names.empty()) << expr;
        for (const std::string& name : names) EXPECT_EQ(written.count(name), 1u) << name << " in " << expr << "\n" << text;
    }
    written.insert(CollectorFileAge);
    for (const std::string& expr : rules) {
        const std::set<std::string> names = metricNamesIn(expr);
        EXPECT_FALSE(names.empty()) << expr;
        for (const std::string& name : names) EXPECT_EQ(written.count(name), 1u) << name << " in " << expr << "\n" << text;
    }
}

// Retention removes the run folders older than keep-archive days, and
// nothing else: not a recent run, not a folder that is no run folder.
TEST(Watch, RetentionRemovesOnlyOldRunFolders) {
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    ASSERT_EQ(site.once().status, 0);
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), 1u);
    const std::string archive = site.folder("archive");
    const std::string old = archive + "/20200101T000000Z_20P_0000.txt";
    std::filesystem::copy(archive + "/" + archived[0], old, std::filesystem::copy_options::recursive);
    std::string state = site.runFile("archive", "20200101T000000Z_20P_0000.txt", "state");
    const size_t taken = state.find("\"taken\": \"") + 10;
    state.replace(taken, 16, "20200101T000000Z");
    std::ofstream(old + "/state", std::ios::binary) << state;
    std::filesystem::create_directories(archive + "/20190101T000000Z_not-a-run");
    addSiteKeys(site, "keep-archive = 1\n");
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(site.runFolders("archive"), (std::vector<std::string>{"20190101T000000Z_not-a-run", archived[0]}));
    EXPECT_TRUE(contains(run.err, "removed " + old + ": older than keep-archive = 1 days")) << run.err;
}

// Files of a type code go in the order of the modification times they were
// delivered with, whatever order they came in: an older file that keeps its
// old time (cp -p) and still settles holds back the newer one, so the table
// ends with the newer file's rows; an older file that comes only after a
// newer one was committed is not imported at all, and failed/ names both.
TEST(Watch, OlderFileKeptByCpPIsNeverImportedOverANewerOne) {
    kt::resetSchema();
    constexpr int Settle = 3;
    kt::WatchSite site(Section20P, Settle);
    const std::string drop = site.folder("drop");
    auto deliverAged = [&](const std::string& name, const std::string& bytes, int secondsOld) {
        site.deliver(name, bytes);
        const timespec old = {time(nullptr) - secondsOld, 0};
        const timespec times[2] = {old, old};
        return utimensat(AT_FDCWD, (drop + "/" + name).c_str(), times, 0) == 0;
    };
    ASSERT_TRUE(deliverAged("20P_new.txt", kt::records20P(1, 2), 60));
    std::this_thread::sleep_for(std::chrono::seconds(Settle) + std::chrono::milliseconds(200));
    ASSERT_TRUE(deliverAged("20P_old.txt", kt::records20P(7, 8), 3600));   // still settling, but older
    kt::RunResult first = site.once();
    EXPECT_TRUE(site.runFolders("archive").empty()) << first.err;
    std::this_thread::sleep_for(std::chrono::seconds(Settle));
    kt::RunResult second = site.once();
    EXPECT_EQ(second.status, 0) << first.err << second.err;
    EXPECT_EQ(site.runFolders("archive").size(), 2u) << second.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}})) << second.err;

    ASSERT_TRUE(deliverAged("20P_older.txt", kt::records20P(4, 5), 7200));
    std::this_thread::sleep_for(std::chrono::seconds(Settle));
    kt::RunResult late = site.once();
    EXPECT_EQ(late.status, FilesFailedStatus) << late.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << late.err;
    const std::string reason = site.runFile("failed", failed[0], "reason");
    EXPECT_NE(reason.find("older than 20P_new.txt"), std::string::npos) << reason;
    EXPECT_NE(reason.find("requeue --force"), std::string::npos) << reason;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}})) << late.err;
}

// A flood of failed files: 20 files go to failed/ at once, and each one's
// hook sleeps a second and notes how many hooks run beside it. Four run
// at a time, never more; the others wait their turn, and every one runs,
// those still waiting when --once is done too.
TEST(Watch, FloodOfFailedFilesRunsFourHooksAtATimeAndEveryOne) {
    constexpr int Files = 20;
    constexpr int MostHooksAtOnce = 4;
    kt::WatchSite site(Section20P);
    const std::string running = site.folder("running");
    const std::string noted = site.folder("hooks.txt");
    std::filesystem::create_directories(running);
    addSiteKeys(site, "on-failed = /bin/sh -c 'touch " + running + "/$$; ls " + running + " | wc -l >> " + noted +
                          "; sleep 1; rm " + running + "/$$'\n");
    for (int file = 1; file <= Files; ++file) {
        site.deliver("20P_" + std::to_string(1000 + file) + ".txt", kt::records20P(1, 2) + "short\n");
    }
    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, FilesFailedStatus) << run.err;
    EXPECT_EQ(site.runFolders("failed").size(), static_cast<size_t>(Files)) << run.err;
    const std::vector<std::string> beside = kt::lines(kt::fileText(noted));
    EXPECT_EQ(beside.size(), static_cast<size_t>(Files)) << run.err;
    int most = 0;
    for (const std::string& count : beside) most = std::max(most, static_cast<int>(strtol(count.c_str(), nullptr, 10)));
    EXPECT_EQ(most, MostHooksAtOnce) << kt::fileText(noted);
    EXPECT_TRUE(std::filesystem::is_empty(running));
}

// With the clock 100 days past every run (as after a clock set ahead), and
// keep-archive and keep-failed at 30 days, retention still keeps the ten
// newest run folders of each type code in each folder, by their names and
// records, and removes only the older: of twelve archived 20P runs the two
// oldest go; in failed/ of eleven 20P runs the oldest goes, and both KST
// runs, older than all of them, stay. The receipts go the same way.
TEST(Watch, RetentionKeepsTheTenNewestRunsOfEachTypeWhateverTheClock) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    site.deliver("20P_0002.txt", kt::records20P(1, 2) + "short\n");
    ASSERT_EQ(site.once().status, FilesFailedStatus);
    const std::vector<std::string> archived = site.runFolders("archive");
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(archived.size(), 1u);
    ASSERT_EQ(failed.size(), 1u);
    const time_t longAgo = time(nullptr) - 100 * 86400;
    // Copies the run folder as another run of the type code given, taken
    // minutes before longAgo.
    const auto copyRun = [&](const std::string& base, const std::string& from, int minutes, const std::string& type) {
        const time_t taken = longAgo - 60L * minutes;
        char stamp[32];
        tm utc{};
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime_r(&taken, &utc));
        const std::string name = std::string(stamp) + "_" + type + "_" + std::to_string(minutes) + ".txt";
        const std::string to = site.folder(base) + "/" + name;
        std::filesystem::copy(site.folder(base) + "/" + from, to, std::filesystem::copy_options::recursive);
        std::string state = site.runFile(base, name, "state");
        char id[17];
        snprintf(id, sizeof id, "%016x", static_cast<unsigned>(minutes) + (type == "KST" ? 0x100u : 0u));
        state.replace(state.find("\"id\": \"") + 7, 16, id);   // a run of its own
        state.replace(state.find("\"taken\": \"") + 10, 16, stamp);
        state.replace(state.find("\"type\": \"20P\""), 13, "\"type\": \"" + type + "\"");
        std::ofstream(to + "/state", std::ios::binary) << state;
        return name;
    };
    std::vector<std::string> oldArchived;
    std::vector<std::string> oldFailed;
    for (int minutes = 12; minutes >= 1; --minutes) {
        oldArchived.push_back(copyRun("archive", archived[0], minutes, "20P"));
    }
    for (int minutes = 11; minutes >= 1; --minutes) oldFailed.push_back(copyRun("failed", failed[0], minutes, "20P"));
    const std::vector<std::string> kst = {copyRun("failed", failed[0], 31, "KST"),
                                          copyRun("failed", failed[0], 30, "KST")};
    std::filesystem::remove_all(site.folder("archive") + "/" + archived[0]);
    std::filesystem::remove_all(site.folder("failed") + "/" + failed[0]);
    // The receipts of the same runs, written when they were filed: the
    // imported ones go as the archive's runs do, the failed, refused and
    // held ones together as failed/'s.
    const std::string receipts = site.folder("receipts");
    std::filesystem::create_directories(receipts);
    const auto writeReceipt = [&](int minutes, const std::string& type, const std::string& outcome) {
        const time_t filed = longAgo - 60L * minutes;
        char stamp[32];
        tm utc{};
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime_r(&filed, &utc));
        const std::string name = type + "_" + std::to_string(minutes) + ".txt." + outcome + ".json";
        std::ofstream(receipts + "/" + name) << nlohmann::json({{"type", type}, {"outcome", outcome}, {"filed", stamp}});
        return name;
    };
    std::vector<std::string> oldReceipts;
    for (int minutes = 12; minutes >= 1; --minutes) oldReceipts.push_back(writeReceipt(minutes, "20P", "imported"));
    const char* const others[] = {"failed", "refused", "held"};
    for (int minutes = 11; minutes >= 1; --minutes) oldReceipts.push_back(writeReceipt(minutes, "20P", others[minutes % 3]));
    const std::vector<std::string> kstReceipts = {writeReceipt(31, "KST", "refused"), writeReceipt(30, "KST", "failed")};
    addSiteKeys(site, "keep-archive = 30\nkeep-failed = 30\nreceipts = " + receipts + "\n");

    kt::RunResult run = site.once();
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> keptFailed(oldFailed.begin() + 1, oldFailed.end());
    keptFailed.insert(keptFailed.end(), kst.begin(), kst.end());
    std::sort(keptFailed.begin(), keptFailed.end());
    EXPECT_EQ(site.runFolders("archive"), std::vector<std::string>(oldArchived.begin() + 2, oldArchived.end()))
        << run.err;
    EXPECT_EQ(site.runFolders("failed"), keptFailed) << run.err;
    EXPECT_TRUE(contains(run.err, "removed " + site.folder("failed") + "/" + oldFailed[0])) << run.err;
    std::vector<std::string> keptReceipts(oldReceipts.begin() + 2, oldReceipts.begin() + 12);
    keptReceipts.insert(keptReceipts.end(), oldReceipts.begin() + 13, oldReceipts.end());
    keptReceipts.insert(keptReceipts.end(), kstReceipts.begin(), kstReceipts.end());
    std::sort(keptReceipts.begin(), keptReceipts.end());
    EXPECT_EQ(site.runFolders("receipts"), keptReceipts) << run.err;
}

// receipts = PATH: each filed file is answered in PATH, readable by the
// senders' group (the folder's, not the watcher's), mode 0640: an imported
// file with its digest, size and the importer's counts, a file its checks
// refuse with the reason and no counts, a file whose record the server
// refused, whose receipt names the error but not the server's text (which
// quotes the record's key), and a file whose importer failed without a
// report, whose receipt names stderr.txt instead of quoting what the
// importer wrote there (a record): the run folders' reasons have both. A
// redelivery refused again replaces its earlier receipt.
TEST(Watch, EachFiledFileGetsAReceiptTheSendersGroupCanRead) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string receipts = site.folder("receipts");
    std::filesystem::create_directories(receipts);
    const gid_t senders = getegid() + 4242;
    ASSERT_EQ(chown(receipts.c_str(), static_cast<uid_t>(-1), senders), 0);
    ASSERT_EQ(chmod(receipts.c_str(), 0750), 0);   // no setgid bit: the watcher gives the group itself
    addSiteKeys(site, "receipts = " + receipts + "\n");
    const std::string imported = kt::records20P(1, 3);
    const std::string refused = kt::records20P(4, 5) + "short\n";
    site.deliver("20P_0001.txt", imported);
    site.deliver("20P_0002.txt", refused);
    site.deliver("20P_0004.txt", kt::record20P(9) + kt::record20P(9));   // the server quotes the key it refuses
    kt::RunResult first = site.once();
    EXPECT_EQ(first.status, FilesFailedStatus) << first.err;
    EXPECT_EQ(site.runFolders("receipts"),
              (std::vector<std::string>{"20P_0001.txt.imported.json", "20P_0002.txt.refused.json",
                                        "20P_0004.txt.failed.json"})) << first.err;
    const nlohmann::json whole = receiptIn(receipts, "20P_0001.txt.imported.json");
    EXPECT_EQ(whole.value("name", ""), "20P_0001.txt") << whole;
    EXPECT_EQ(whole.value("sha256", ""), sha256Of(site, imported)) << whole;
    EXPECT_EQ(whole.value("size", -1), static_cast<long>(imported.size())) << whole;
    EXPECT_EQ(whole.value("type", ""), "20P") << whole;
    EXPECT_EQ(whole.value("outcome", ""), "imported") << whole;
    EXPECT_EQ(whole.value("reason", "-"), "") << whole;
    EXPECT_EQ(whole["counts"], nlohmann::json({{"lines", 3}, {"written", 3}, {"failed", 0}, {"wrong_length", 0}}))
        << whole;
    const nlohmann::json checked = receiptIn(receipts, "20P_0002.txt.refused.json");
    EXPECT_EQ(checked.value("outcome", ""), "refused") << checked;
    EXPECT_EQ(checked.value("sha256", ""), sha256Of(site, refused)) << checked;
    EXPECT_TRUE(contains(checked.value("reason", ""), "of the wrong length")) << checked;
    EXPECT_TRUE(checked["counts"].is_null()) << checked;
    const nlohmann::json refusedByServer = receiptIn(receipts, "20P_0004.txt.failed.json");
    EXPECT_TRUE(contains(refusedByServer.value("reason", ""), "line 2: error 1062")) << refusedByServer;
    EXPECT_FALSE(contains(refusedByServer.value("reason", ""), "Duplicate")) << refusedByServer;
    EXPECT_EQ(refusedByServer["counts"].value("failed", -1), 1) << refusedByServer;

    const std::string script = site.folder("importer.sh");
    std::ofstream(script) << "#!/bin/sh\necho 'T9 PIN 4711 failed' >&2\nexit 5\n";
    chmod(script.c_str(), 0755);
    std::string config = kt::fileText(site.config());
    const size_t program = config.find("program = ");
    config.replace(program, config.find('\n', program) - program, "program = " + script);
    std::ofstream(site.config(), std::ios::binary) << config;
    const std::string again = kt::records20P(6, 7) + "bad\n";
    site.deliver("20P_0002.txt", again);
    site.deliver("20P_0003.txt", kt::records20P(8, 9));
    kt::RunResult second = site.once();
    EXPECT_EQ(second.status, OutcomeUnknownStatus) << second.err;
    EXPECT_EQ(site.runFolders("receipts"),
              (std::vector<std::string>{"20P_0001.txt.imported.json", "20P_0002.txt.refused.json",
                                        "20P_0003.txt.failed.json", "20P_0004.txt.failed.json"})) << second.err;
    const nlohmann::json redelivered = receiptIn(receipts, "20P_0002.txt.refused.json");
    EXPECT_EQ(redelivered.value("sha256", ""), sha256Of(site, again)) << redelivered;
    EXPECT_NE(redelivered.value("run", ""), checked.value("run", "")) << redelivered;
    const nlohmann::json failed = receiptIn(receipts, "20P_0003.txt.failed.json");
    EXPECT_EQ(failed.value("outcome", ""), "failed") << failed;
    EXPECT_EQ(failed.value("committed", ""), "unknown whether committed") << failed;
    EXPECT_TRUE(contains(failed.value("reason", ""), "exit status 5 without a run report (see stderr.txt)")) << failed;
    EXPECT_FALSE(contains(kt::fileText(receipts + "/20P_0003.txt.failed.json"), "4711"));
    const std::vector<std::string> runs = site.runFolders("failed");
    const auto runOf = [&runs](const std::string& name) {
        return *std::find_if(runs.begin(), runs.end(), [&name](const std::string& run) { return contains(run, name); });
    };
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_TRUE(contains(site.runFile("failed", runOf("_20P_0003.txt"), "reason"), "4711"));
    EXPECT_TRUE(contains(site.runFile("failed", runOf("_20P_0004.txt"), "reason"), "Duplicate entry"));
    for (const std::string& name : site.runFolders("receipts")) {
        struct stat info {};
        ASSERT_EQ(stat((receipts + "/" + name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << name;
        EXPECT_EQ(info.st_gid, senders) << name;
    }
}

// What is delivered is private to the senders and the watcher: a drop
// folder every user may enter, and the first delivered file every user may
// read, are each named with the fix; a folder of 3770 with a file of 0640
// gives no such line. The file is imported either way.
TEST(Watch, DropFolderOrFileOpenToEveryUserIsNamed) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    const std::string drop = site.folder("drop");
    ASSERT_EQ(chmod(drop.c_str(), 0755), 0);
    site.deliver("20P_0001.txt", kt::records20P(1, 2));
    ASSERT_EQ(chmod((drop + "/20P_0001.txt").c_str(), 0644), 0);
    kt::RunResult open = site.once();
    EXPECT_EQ(open.status, 0) << open.err;
    EXPECT_TRUE(contains(open.err, drop + " is open to every user of this machine (mode 0755)")) << open.err;
    EXPECT_TRUE(contains(open.err, "20P_0001.txt in " + drop + " can be read by every user of this machine (mode 0644)"))
        << open.err;

    ASSERT_EQ(chmod(drop.c_str(), 03770), 0);
    site.deliver("20P_0002.txt", kt::records20P(1, 3));
    ASSERT_EQ(chmod((drop + "/20P_0002.txt").c_str(), 0640), 0);
    kt::RunResult closed = site.once();
    EXPECT_EQ(closed.status, 0) << closed.err;
    EXPECT_FALSE(contains(closed.err, "every user")) << closed.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
}

// check runs a file as the watcher would, without committing it: the
// section its name matches decides the type code and the deletion guard's
// limits (here so low that the file is held, 96, as its import would be),
// the table stays as it was and the file where it is; a file the watcher's
// checks would refuse never reaches kelvora-check.
TEST(Watch, CheckRunsAFileWithItsSectionsSettingsAndCommitsNothing) {
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "max-deletes = 1\nmax-delete-share = 1\n");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    ASSERT_EQ(site.once().status, 0);
    const std::string file = site.box().root() + "/20P_next.txt";
    std::ofstream(file, std::ios::binary) << kt::records20P(1, 1);
    const std::vector<std::string> check = {"--config", site.config(), "check", file};
    kt::RunResult held = kt::runProgram(KELVORA_WATCH, check, site.box().root());
    EXPECT_EQ(held.status, 96) << held.out << held.err;
    EXPECT_TRUE(contains(held.out, "Zu viele geloeschte Zeilen in MGSST20P (2 von 3)")) << held.out;
    EXPECT_TRUE(contains(held.err, "plan MGSST20P: 3 rows before")) << held.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_EQ(kt::fileText(file), kt::records20P(1, 1));

    std::ofstream(file, std::ios::binary) << kt::records20P(1, 1) + "cut";
    kt::RunResult refused = kt::runProgram(KELVORA_WATCH, check, site.box().root());
    EXPECT_EQ(refused.status, FilesFailedStatus) << refused.err;
    EXPECT_TRUE(contains(refused.err, "the watcher would not import it: the last line has no line end")) << refused.err;
    EXPECT_FALSE(contains(refused.err, "plan ")) << refused.err;
}

// Two watchers with standby = yes on one drop folder: the second stands by
// (status lists it) while the first holds the folder. The first is killed
// with SIGKILL while its import waits for a lock; within seconds the
// second takes the folder over, waits for the import that outlived the
// first, files it by its report and imports the next file: each once.
TEST(Watch, StandbyTakesOverFromAKilledWatcherAndImportsEveryFileOnce) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    kt::WatchSite site(Section20P);
    addSiteKeys(site, "standby = yes\n");
    kt::RunningProgram first;
    std::string err;
    const bool waiting = importWaitsForALock(site, other, first, err);
    kt::RunningProgram second = site.follow();
    const bool standing = kt::waitForError(second, "this one stands by (standby = yes)", err, WaitSeconds);
    const kt::RunResult status =
        kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "status", "--json"}, site.box().root());
    kill(first.pid, SIGKILL);
    kt::waitProgram(first);
    const bool tookOver = kt::waitForError(second, "this one takes it over", err, 6);
    site.deliver("20P_0002.txt", kt::records20P(4, 6));
    other.exec("ROLLBACK");
    const bool done = kt::waitFor([&] { return site.runFolders("archive").size() == 2; }, WaitSeconds);
    kill(second.pid, SIGTERM);
    err += kt::waitProgram(second).err;
    ASSERT_TRUE(waiting) << err;
    EXPECT_TRUE(standing) << err;
    EXPECT_TRUE(contains(status.out, ", standing by since ")) << status.out;
    EXPECT_TRUE(tookOver) << err;
    ASSERT_TRUE(done) << err;
    const std::vector<std::string> archived = site.runFolders("archive");
    EXPECT_EQ(site.runFile("archive", archived[0], "file/20P_0001.wrk"), kt::records20P(1, 3));
    EXPECT_EQ(site.runFile("archive", archived[1], "file/20P_0002.wrk"), kt::records20P(4, 6));
    EXPECT_TRUE(site.runFolders("failed").empty()) << err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T4"}, {"T5"}, {"T6"}}));
}

// A flood of 20,000 entries the watcher never takes, delivered while it
// watches: 10,000 empty files that match no section, then 5,000 symbolic
// links (beyond the room of the names' file) and 5,000 markers whose file
// never comes. Each entry is named once, however often the folder is
// looked at (each link was named at every rescan once the names' file was
// full); a real file delivered behind them is imported within 10 s (it
// waited longer while every marker was matched against every entry at each
// look); idle beside the flood, the watcher takes little CPU (a marker that
// waits kept it spinning); its peak memory stays within 64 MiB.
TEST(Watch, FloodOfEntriesItNeverTakesDoesNotHoldARealFile) {
    constexpr int Empty = 10000;
    constexpr int Links = 5000;
    constexpr int Markers = 5000;
    constexpr int Settle = 2;
    constexpr int TakenWithinSeconds = 10;
    constexpr int IdleSeconds = 6;
    constexpr double MostIdleCpuShare = 0.25;
    constexpr long MostMemoryKb = 64 * 1024;
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "\n[file *MND*]\ntype = MND\nmarker = {name}.ok\n", Settle);
    kt::RunningProgram watcher = site.follow();
    std::string err;
    ASSERT_TRUE(kt::waitForError(watcher, "watching ", err, WaitSeconds)) << err;
    const std::string drop = site.folder("drop") + "/";
    char name[32];
    for (int number = 0; number < Empty; ++number) {
        snprintf(name, sizeof name, "empty_%05d", number);
        std::ofstream(drop + name);
    }
    ASSERT_TRUE(waitForLines(watcher, "matches no [file ...] section", Empty, err, WaitSeconds)) << err.size();
    for (int number = 0; number < Links; ++number) {
        snprintf(name, sizeof name, "link_%05d", number);
        ASSERT_EQ(symlink("/nowhere", (drop + name).c_str()), 0);
    }
    for (int number = 0; number < Markers; ++number) {
        snprintf(name, sizeof name, "MND_%05d.txt.ok", number);
        std::ofstream(drop + name) << "lines=1\n";
    }
    ASSERT_TRUE(waitForLines(watcher, "is a symbolic link, not a regular file", Links, err, WaitSeconds));
    const auto delivered = std::chrono::steady_clock::now();
    site.deliver("20P_real.txt", kt::records20P(1, 3));
    const bool taken = kt::waitForError(watcher, "20P_real.txt 20P: archived in", err, TakenWithinSeconds);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - delivered).count();
    const double cpuBefore = cpuSeconds(watcher.pid);
    kt::waitForError(watcher, "\n\n", err, IdleSeconds);   // reads what it says meanwhile, which is nothing
    const double idleCpu = cpuSeconds(watcher.pid) - cpuBefore;
    const long peakKb = procStatusKb(watcher.pid, "VmHWM");
    kill(watcher.pid, SIGTERM);
    kt::RunResult run = kt::waitProgram(watcher);
    err += run.err;
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(taken) << "not imported " << took << " s after its delivery";
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_LT(idleCpu, MostIdleCpuShare * IdleSeconds) << "CPU seconds in " << IdleSeconds << " s idle";
    EXPECT_EQ(countOf(err, "matches no [file ...] section"), static_cast<size_t>(Empty));
    EXPECT_EQ(countOf(err, "is a symbolic link, not a regular file"), static_cast<size_t>(Links));
    EXPECT_EQ(countOf(err, "a marker whose file"), 0u);
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's shadow memory and quarantine make the peak its own.
    EXPECT_GT(peakKb, 0);
    EXPECT_LE(peakKb, MostMemoryKb);
#endif
    (void)peakKb;
}

// SIGTERM while a file of 1 GiB that is not the watcher's own (it has a
// second link) is copied into the staging area: meanwhile a KST file is
// imported and status names the copy; the watcher ends within 2 s, the
// copy is dropped, the file stays in drop/ as it was and the staging area
// holds no run folder.
TEST(Watch, StopDuringTheCopyOfALargeFileIsHonouredAndLeavesItInDrop) {
    constexpr size_t BlockBytes = 1024 * 1024;
    constexpr int Blocks = 1024;
    constexpr double StopWithinSeconds = 2;
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "\n[file KST*]\ntype = KST\n");
    const std::string outside = site.folder("20P_big.txt");
    const std::string big = site.folder("drop") + "/20P_big.txt";
    {
        std::string block;
        while (block.size() < BlockBytes) block += kt::record20P(static_cast<int>(block.size()));
        std::ofstream out(outside, std::ios::binary);
        for (int i = 0; i < Blocks; ++i) out << block;
        ASSERT_TRUE(out.good());
    }
    ASSERT_EQ(link(outside.c_str(), big.c_str()), 0);
    site.deliver("KST_0001.txt", kstLine("SIDE", ""));
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(big, now - std::chrono::seconds(10));   // the older: taken first
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));           // both have settled
    struct stat before {};
    ASSERT_EQ(stat(big.c_str(), &before), 0);

    kt::RunningProgram watcher = site.follow();
    std::string err;
    const bool side = kt::waitForError(watcher, "KST_0001.txt KST: archived in", err, WaitSeconds);
    kt::RunResult status = kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "status"}, site.box().root());
    const std::string staging = site.box().workDir() + "/.kelvora-watch";
    bool copying = false;   // the copy still under way: its run folder there, the file still in drop/
    for (const auto& entry : std::filesystem::directory_iterator(staging)) {
        copying = copying || contains(entry.path().filename().string(), "20P_big.txt");
    }
    copying = copying && std::filesystem::exists(big);
    const auto stopped = std::chrono::steady_clock::now();
    kill(watcher.pid, SIGTERM);
    kt::RunResult run = kt::waitProgram(watcher);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    err += run.err;
    ASSERT_TRUE(side) << err;
    ASSERT_TRUE(copying) << "the copy ended before the KST file was imported beside it: " << err;
    EXPECT_TRUE(contains(status.out, "20P_big.txt")) << status.out;
    EXPECT_TRUE(contains(status.out, "being copied into the staging area")) << status.out;
    EXPECT_EQ(run.status, 0) << err;
    EXPECT_LT(took, StopWithinSeconds) << err;
    EXPECT_TRUE(contains(err, "20P_big.txt 20P: stopped while it was copied")) << err;
    struct stat after {};
    ASSERT_EQ(stat(big.c_str(), &after), 0) << err;
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    for (const auto& entry : std::filesystem::directory_iterator(staging)) {
        EXPECT_EQ(entry.path().filename().string()[0], '.') << entry.path() << " is left in the staging area";
    }
    EXPECT_EQ(kt::query("SELECT KidKst FROM QVS120KID"), (std::vector<kt::Row>{{"SIDE"}}));
    EXPECT_EQ(site.runFolders("archive").size(), 1u) << err;
    EXPECT_EQ(kt::countRows("MGSST20P"), 0);
}
