// kelvora-watch requeue on run folders the real watcher filed into failed/:
// the file goes back into the drop folder as delivered and is imported
// again (with its marker), never over a newer import of its table unless
// forced, never over a file of its name in the drop folder, and once
// unless forced.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr int RefusedStatus = 1;
const char* const Section20P = "[file *20P*]\ntype = 20P\n";
const char* const LockFile = ".kelvora-watch.lock";

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// kelvora-watch --config CONFIG requeue ARGS..., run to its end.
kt::RunResult requeue(const kt::WatchSite& site, const std::vector<std::string>& args) {
    std::vector<std::string> command = {"--config", site.config(), "requeue"};
    command.insert(command.end(), args.begin(), args.end());
    return kt::runProgram(KELVORA_WATCH, command, site.box().root());
}

std::string failedRun(const kt::WatchSite& site, const std::string& runFolder) {
    return site.folder("failed") + "/" + runFolder;
}

// Every entry of the drop folder but the watcher's lock file, with its bytes.
std::map<std::string, std::string> dropFiles(const kt::WatchSite& site) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(site.folder("drop"))) {
        const std::string name = entry.path().filename().string();
        if (name != LockFile) files[name] = site.box().readFile("../../drop/" + name);   // from the working directory
    }
    return files;
}

std::string kstLine(const std::string& kst) {
    return kt::field(kst, 30) + kt::field("01", 5) + kt::field("L1", 5) + kt::field("", 7) + kt::field("S1", 7) +
           kt::field("", 30) + kt::field("erf", 50) + "\n";
}

// A name as the run record keeps it: its bytes as lower-case hexadecimal.
std::string hexOf(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : name) {
        hex += digits[c >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

// The time of taking that a run record ("state") holds.
std::string stampOf(const std::string& state) {
    const Json record = Json::parse(state, nullptr, false);
    return record.is_object() && record["taken"].is_string() ? record["taken"].get<std::string>() : "";
}

// A 20P file cut off in the middle of its third line: it fails its checks.
std::string cutFile() {
    return kt::records20P(1, 2) + kt::record20P(3).substr(0, 100);
}

// A 20P file whose records the server refuses (a trigger, dropped after
// the run): it goes to failed/ with nothing committed, through no fault of
// its bytes.
void deliverRefused(kt::WatchSite& site, const std::string& name, const std::string& bytes) {
    kt::exec("CREATE TRIGGER refuse_all BEFORE INSERT ON MGSST20P FOR EACH ROW SIGNAL SQLSTATE '45000' "
             "SET MESSAGE_TEXT = 'refused'");
    site.deliver(name, bytes);
    const kt::RunResult run = site.once();
    kt::exec("DROP TRIGGER refuse_all");
    ASSERT_EQ(run.status, RefusedStatus) << run.err;
}

}  // namespace

// Two runs that failed because the server refused their records, a 20P file
// (imported: its run holds the work file) whose name holds a control byte,
// and a UTF-8 KST file (its run holds the conversion beside the delivered
// file), go back once the fault is gone: the drop folder gets every byte
// as delivered under every byte of the delivered name, each run folder
// stays with a file "requeued" that names where it went, and the next run
// imports both.
TEST(WatchRequeue, FailedRunsGoBackAsDeliveredAndAreImportedAgain) {
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "[file KST*]\ntype = KST\nencoding = utf-8\n");
    for (const char* table : {"MGSST20P", "QVS120KID"}) {
        kt::exec(std::string("CREATE TRIGGER refuse_") + table + " BEFORE INSERT ON " + table +
                 " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
    }
    const std::string name20P = "20P_\x01" "a.txt";
    const std::string kst = "\xEF\xBB\xBF" + kt::utf8Of(kstLine("K\xC4SE"));
    site.deliver(name20P, kt::records20P(1, 3));
    site.deliver("KST_0001.txt", kst);
    kt::RunResult first = site.once();
    ASSERT_EQ(first.status, RefusedStatus) << first.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 2u) << first.err;
    for (const std::string& folder : failed) {   // the server's own word on the first refused record
        const std::string reason = site.runFile("failed", folder, "reason");
        EXPECT_TRUE(contains(reason, "nothing was committed; the first, line 1: error 1644: refused")) << reason;
    }
    kt::exec("DROP TRIGGER refuse_MGSST20P");
    kt::exec("DROP TRIGGER refuse_QVS120KID");

    kt::RunResult run = requeue(site, {failedRun(site, failed[0]), failedRun(site, failed[1])});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::map<std::string, std::string> expected = {{name20P, kt::records20P(1, 3)}, {"KST_0001.txt", kst}};
    EXPECT_EQ(dropFiles(site), expected);
    for (const std::string& folder : failed) {
        EXPECT_TRUE(contains(site.runFile("failed", folder, "requeued"), site.folder("drop") + "/")) << folder;
        EXPECT_TRUE(contains(site.runFile("failed", folder, "state"), "\"to\": \"failed\"")) << folder;
    }
    EXPECT_EQ(site.runFile("failed", failed[0], "file/20P__a.wrk"), kt::records20P(1, 3));

    kt::RunResult again = site.once();
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(site.runFolders("archive").size(), 2u) << again.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
    EXPECT_EQ(kt::query("SELECT HEX(KidKst) FROM QVS120KID"), (std::vector<kt::Row>{{"4BC45345"}}));
}

// A 20P file failed, then a later 20P file was imported: the older one
// would bring its data back over the newer, so it is refused and stays out
// of the drop folder, until --force puts it back. A run of the archive is
// never put back.
TEST(WatchRequeue, FileOlderThanAnImportOfItsTypeGoesBackOnlyWhenForced) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    deliverRefused(site, "20P_0001.txt", kt::records20P(1, 2));
    site.deliver("20P_0002.txt", kt::records20P(4, 6));
    ASSERT_EQ(site.once().status, 0);
    const std::vector<std::string> failed = site.runFolders("failed");
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(failed.size(), 1u);
    ASSERT_EQ(archived.size(), 1u);

    kt::RunResult refused = requeue(site, {failedRun(site, failed[0])});
    EXPECT_EQ(refused.status, RefusedStatus) << refused.err;
    EXPECT_TRUE(contains(refused.err, "a later 20P file was imported since (" + site.folder("archive") + "/" +
                                          archived[0] + ", taken ")) << refused.err;
    EXPECT_TRUE(dropFiles(site).empty());
    EXPECT_FALSE(fs::exists(failedRun(site, failed[0]) + "/requeued"));

    kt::RunResult archive = requeue(site, {"--force", site.folder("archive") + "/" + archived[0]});
    EXPECT_EQ(archive.status, RefusedStatus) << archive.err;
    EXPECT_TRUE(contains(archive.err, "it is a run folder of the archive")) << archive.err;
    EXPECT_TRUE(dropFiles(site).empty());

    kt::RunResult forced = requeue(site, {"--force", failedRun(site, failed[0])});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(dropFiles(site), (std::map<std::string, std::string>{{"20P_0001.txt", kt::records20P(1, 2)}}));
}

// The clock was set back between two 20P runs: the newer file's records
// say it was taken years before the older, failed one (here their stamps
// are set back after the fact, in its run folder and the watcher's note).
// The run sequence, which no clock moves, still says a later file was
// imported, so the older one goes back only when forced.
TEST(WatchRequeue, LaterImportIsKnownByTheRunSequenceWhenTheClockWentBack) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    deliverRefused(site, "20P_0001.txt", kt::records20P(1, 2));
    site.deliver("20P_0002.txt", kt::records20P(4, 6));
    ASSERT_EQ(site.once().status, 0);
    const std::vector<std::string> failed = site.runFolders("failed");
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(failed.size(), 1u);
    ASSERT_EQ(archived.size(), 1u);
    const std::string state = site.folder("archive") + "/" + archived[0] + "/state";
    const std::string note = site.box().workDir() + "/.kelvora-watch/.last-imports";
    const std::string taken = stampOf(kt::fileText(state));
    ASSERT_EQ(taken.size(), 16u) << kt::fileText(state);   // 20261210T002127Z
    const std::string setBack = "2001" + taken.substr(4);
    for (const std::string& path : {state, note}) {
        std::string text = kt::fileText(path);
        ASSERT_TRUE(contains(text, taken)) << path << ": " << text;
        for (size_t at = text.find(taken); at != std::string::npos; at = text.find(taken, at)) {
            text.replace(at, taken.size(), setBack);
        }
        std::ofstream(path, std::ios::binary) << text;
    }
    ASSERT_LT(setBack, stampOf(site.runFile("failed", failed[0], "state")));

    kt::RunResult refused = requeue(site, {failedRun(site, failed[0])});
    EXPECT_EQ(refused.status, RefusedStatus) << refused.err;
    EXPECT_TRUE(contains(refused.err, "a later 20P file was imported since (" + site.folder("archive") + "/" +
                                          archived[0] + ", taken " + setBack + " as run ")) << refused.err;
    EXPECT_TRUE(contains(refused.err, " of the watcher's sequence; this one taken ")) << refused.err;
    EXPECT_TRUE(dropFiles(site).empty());
    EXPECT_FALSE(fs::exists(failedRun(site, failed[0]) + "/requeued"));
}

// A file of the delivered name in the drop folder (here the sender's
// corrected one) is never replaced, not even with --force; once it has
// gone, the run goes back, and a second time only with --force, each put
// back a line of "requeued".
TEST(WatchRequeue, FileOfItsNameInTheDropFolderStaysAndARunGoesBackTwiceOnlyWhenForced) {
    kt::resetSchema();
    kt::WatchSite site(Section20P);
    deliverRefused(site, "20P_0001.txt", kt::records20P(1, 2));
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u);
    const std::string run = failedRun(site, failed[0]);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));

    kt::RunResult taken = requeue(site, {"--force", run});
    EXPECT_EQ(taken.status, RefusedStatus) << taken.err;
    EXPECT_TRUE(contains(taken.err, "a file named 20P_0001.txt is in " + site.folder("drop") + " already"))
        << taken.err;
    EXPECT_EQ(dropFiles(site), (std::map<std::string, std::string>{{"20P_0001.txt", kt::records20P(1, 3)}}));
    EXPECT_FALSE(fs::exists(run + "/requeued"));

    fs::remove(site.folder("drop") + "/20P_0001.txt");
    EXPECT_EQ(requeue(site, {run}).status, 0);
    fs::remove(site.folder("drop") + "/20P_0001.txt");
    kt::RunResult twice = requeue(site, {run});
    EXPECT_EQ(twice.status, RefusedStatus) << twice.err;
    EXPECT_TRUE(contains(twice.err, "it was put back already on ")) << twice.err;
    EXPECT_TRUE(dropFiles(site).empty());
    EXPECT_EQ(requeue(site, {"--force", run}).status, 0);
    EXPECT_EQ(dropFiles(site), (std::map<std::string, std::string>{{"20P_0001.txt", kt::records20P(1, 2)}}));
    EXPECT_EQ(kt::lines(site.runFile("failed", failed[0], "requeued")).size(), 2u);
}

// A file delivered with a marker that names its size, refused by the
// server, goes back with its marker, each under every byte of its name as
// delivered; the watcher, which takes the file only with its marker and
// checks it against the marker, imports it again.
TEST(WatchRequeue, MarkerGoesBackWithItsFile) {
    kt::resetSchema();
    kt::WatchSite site(std::string(Section20P) + "marker = {name}.done\n");
    kt::exec("CREATE TRIGGER refuse_20P BEFORE INSERT ON MGSST20P FOR EACH ROW "
             "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
    const std::string name = "20P_\x01" "a.txt";
    const std::string marker = "bytes=" + std::to_string(kt::records20P(1, 3).size()) + "\n";
    site.deliver(name, kt::records20P(1, 3));
    site.deliver(name + ".done", marker);
    kt::RunResult first = site.once();
    ASSERT_EQ(first.status, RefusedStatus) << first.err;
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u) << first.err;
    kt::exec("DROP TRIGGER refuse_20P");

    kt::RunResult run = requeue(site, {failedRun(site, failed[0])});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::map<std::string, std::string> expected = {{name, kt::records20P(1, 3)}, {name + ".done", marker}};
    EXPECT_EQ(dropFiles(site), expected);

    kt::RunResult again = site.once();
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(site.runFolders("archive").size(), 1u) << again.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}, {"T3"}}));
}

// A record whose file name is no single name (here "../escaped.txt", with a
// file there in the run folder for it to find) is refused: the copy never
// leaves the drop folder, and the drop folder gets nothing.
TEST(WatchRequeue, RecordWhoseNameLeadsOutOfTheDropFolderIsRefused) {
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", cutFile());
    ASSERT_EQ(site.once().status, RefusedStatus);
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u);
    const std::string run = failedRun(site, failed[0]);
    std::string state = site.runFile("failed", failed[0], "state");
    const std::string named = "\"name_hex\": \"" + hexOf("20P_0001.txt") + "\"";
    ASSERT_TRUE(contains(state, named)) << state;
    site.box().writeFile("../../failed/" + failed[0] + "/state",
                         state.replace(state.find(named), named.size(),
                                       "\"name_hex\": \"" + hexOf("../escaped.txt") + "\""));
    site.box().writeFile("../../failed/" + failed[0] + "/escaped.txt", cutFile());

    kt::RunResult refused = requeue(site, {"--force", run});
    EXPECT_EQ(refused.status, RefusedStatus) << refused.err;
    EXPECT_TRUE(contains(refused.err, "names \"../escaped.txt\", which is no name of one file in a folder"))
        << refused.err;
    EXPECT_FALSE(fs::exists(site.folder("escaped.txt")));
    EXPECT_TRUE(dropFiles(site).empty());
}

// A file that failed the watcher's own checks would fail them again: a
// plain requeue refuses it with its reason and --force is needed. A person
// who has seen a failed run says so with ack: status no longer needs a
// person for it, its record says it was seen, and only a run of the failed
// folder can be marked.
TEST(WatchRequeue, FileThatFailedItsChecksGoesBackOnlyForcedAndAckMarksARunSeen) {
    kt::WatchSite site(Section20P);
    site.deliver("20P_0001.txt", cutFile());
    ASSERT_EQ(site.once().status, RefusedStatus);
    const std::vector<std::string> failed = site.runFolders("failed");
    ASSERT_EQ(failed.size(), 1u);
    const std::string run = failedRun(site, failed[0]);

    kt::RunResult refused = requeue(site, {run});
    EXPECT_EQ(refused.status, RefusedStatus) << refused.err;
    EXPECT_TRUE(contains(refused.err, "not put back: it failed the watcher's checks (not imported: the last line has "
                                      "no line end: the transfer was cut off): the same bytes would fail them again"))
        << refused.err;
    EXPECT_TRUE(dropFiles(site).empty());

    const std::vector<std::string> status = {"--config", site.config(), "status", "--json"};
    kt::RunResult before = kt::runProgram(KELVORA_WATCH, status, site.box().root());
    EXPECT_EQ(before.status, 1) << before.out;
    const std::vector<std::string> ack = {"--config", site.config(), "ack"};
    std::vector<std::string> ackArchive = ack;
    ackArchive.push_back(site.folder("drop"));
    EXPECT_EQ(kt::runProgram(KELVORA_WATCH, ackArchive, site.box().root()).status, RefusedStatus);
    std::vector<std::string> ackRun = ack;
    ackRun.push_back(run);
    kt::RunResult acked = kt::runProgram(KELVORA_WATCH, ackRun, site.box().root());
    EXPECT_EQ(acked.status, 0) << acked.err;
    kt::RunResult after = kt::runProgram(KELVORA_WATCH, status, site.box().root());
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_TRUE(contains(after.out, "\"acknowledged\": true")) << after.out;

    EXPECT_EQ(requeue(site, {"--force", run}).status, 0);
    EXPECT_EQ(dropFiles(site), (std::map<std::string, std::string>{{"20P_0001.txt", cutFile()}}));
}
