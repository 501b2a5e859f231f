// The deletion guard: a well-formed file that would delete most of a table
// (a replace with a tenth of the rows, a sync that sweeps most keys, an
// identity master that keeps a tenth) commits nothing, says why and ends
// with 96, while a run under the limits is exactly the run without them.
// The watcher guards by default and lets a held file through once when a
// person accepts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int HeldStatus = 96;
constexpr int FilesFailedStatus = 1;
const std::vector<std::string> Limits = {"KELVORA_MAX_DELETES=50", "KELVORA_MAX_DELETE_SHARE=10"};

using Tables = std::map<std::string, std::vector<kt::Row>>;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A type code, the tables it writes (its own first), and its sample file.
struct GuardCase {
    const char* typeCode;
    std::vector<std::string> tables;
    int keptRecords;   // the records of the small file, out of 100
};

const std::vector<GuardCase> Cases = {
    {"20P", {"MGSST20P"}, 10},
    {"KST", {"QVS120KID"}, 30},
    {"IDN", {"QVS301ASW", "QVS113STO", "QVS113AWV"}, 10},
};

// Every row of the tables, every column, sorted byte for byte.
Tables rowsOf(const std::vector<std::string>& tables) {
    Tables rows;
    for (const std::string& table : tables) {
        rows[table] = kt::query("SELECT * FROM RURUVURO." + table);
        std::sort(rows[table].begin(), rows[table].end());
    }
    return rows;
}

// The first count lines of a sample file of 100 records.
std::string firstLines(const std::string& file, int count) {
    size_t end = 0;
    for (int i = 0; i < count; ++i) end = file.find('\n', end) + 1;
    return file.substr(0, end);
}

// Writes the sample files of 100 records into folder.
void writeSamples(const kt::Sandbox& box, const std::string& folder) {
    ASSERT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, {"--clean", folder, "100", "20P", "KST", "IDN"}, box.workDir()).status,
              0);
}

// The tables after a run of the whole sample file without the guard.
void importWhole(const kt::Sandbox& box, const std::string& samples, const GuardCase& c) {
    box.writeFile("whole.txt", kt::fileText(samples + "/" + c.typeCode + ".txt"));
    kt::RunResult whole = box.run({"whole.txt", c.typeCode});
    ASSERT_EQ(whole.status, 0) << whole.err;
}

// The guard's stdout line for a table: deleted of before.
std::string heldLine(const std::string& table, long long deleted, long long before) {
    return "Zu viele geloeschte Zeilen in " + table + " (" + std::to_string(deleted) + " von " +
           std::to_string(before) + "), nichts uebernommen\n";
}

}  // namespace

// Over tables that hold the 100 records of a sample file, a file of its
// first few records would delete most of them: the import, and the check,
// print the count line and then one line per table that loses too many,
// exit 96, and leave every table as it was, the sync's marks included; the
// report has the counts of every table.
TEST(DeleteGuard, ReplaceSyncAndIdentityMasterAreHeldWithEveryTableUntouched) {
    kt::resetSchema();
    kt::Sandbox box;
    const std::string samples = box.root() + "/samples";
    writeSamples(box, samples);
    for (const GuardCase& c : Cases) {
        SCOPED_TRACE(c.typeCode);
        importWhole(box, samples, c);
        const Tables before = rowsOf(c.tables);
        const std::string small = firstLines(kt::fileText(samples + "/" + c.typeCode + ".txt"), c.keptRecords);
        box.writeFile("small.txt", small);
        std::vector<std::string> environment = Limits;
        environment.push_back("KELVORA_REPORT=" + box.root() + "/report.json");
        kt::RunResult held = box.run(environment, {"small.txt", c.typeCode});
        EXPECT_EQ(held.status, HeldStatus) << held.err;
        EXPECT_EQ(rowsOf(c.tables), before);
        const long long rows = static_cast<long long>(before.at(c.tables[0]).size());
        const long long deleted = rows - c.keptRecords;
        EXPECT_TRUE(contains(held.out, heldLine(c.tables[0], deleted, rows))) << held.out;
        EXPECT_EQ(held.out.find("Zu viele"), held.out.find("eingefuegt") + std::string("eingefuegt\n").size())
            << held.out;
        const std::string report = kt::fileText(box.root() + "/report.json");
        EXPECT_TRUE(contains(report, "\"ending\": \"too many deleted\"")) << report;
        EXPECT_TRUE(contains(report, "\"committed\": false")) << report;
        EXPECT_TRUE(contains(report, "\"rows_before\": " + std::to_string(rows))) << report;
        EXPECT_TRUE(contains(report, "\"deleted\": " + std::to_string(deleted))) << report;
        for (const std::string& table : c.tables) EXPECT_TRUE(contains(report, "\"" + table + "\"")) << report;

        box.writeFile("check.txt", small);
        std::vector<std::string> checked = Limits;
        checked.insert(checked.end(), {KELVORA_CHECK_TOOL, "check.txt", c.typeCode});
        kt::RunResult check = kt::runProgram("/usr/bin/env", checked, box.workDir());
        EXPECT_EQ(check.status, HeldStatus) << check.err;
        EXPECT_EQ(check.out, held.out);
        EXPECT_TRUE(contains(check.err, "plan " + c.tables[0] + ": " + std::to_string(rows) + " rows before, " +
                                            std::to_string(c.keptRecords) + " after"))
            << check.err;
        EXPECT_TRUE(contains(check.err, "the run would be held: it deletes " + std::to_string(deleted) + " of " +
                                            std::to_string(rows) + " rows"))
            << check.err;
        EXPECT_EQ(rowsOf(c.tables), before);
    }
}

// Under the limits, the guarded run is the run without the guard, byte for
// byte on standard output, in its exit status and in the tables; its report
// adds what it deleted. Both runs start from the same rows: 100 terminals,
// of which the file keeps 95 and adds 5.
TEST(DeleteGuard, RunUnderTheLimitsIsTheRunWithoutThem) {
    kt::Sandbox box;
    const std::string file = kt::records20P(6, 105);
    std::vector<std::string> outputs;
    std::vector<int> statuses;
    std::vector<Tables> tables;
    for (const std::vector<std::string>& environment :
         {std::vector<std::string>{}, {"KELVORA_MAX_DELETES=5", "KELVORA_REPORT=" + box.root() + "/report.json"}}) {
        kt::resetSchema();
        box.writeFile("full.txt", kt::records20P(1, 100));
        ASSERT_EQ(box.run({"full.txt", "20P"}).status, 0);
        box.writeFile("data.txt", file);
        kt::RunResult run = box.run(environment, {"data.txt", "20P", "/D"});
        outputs.push_back(run.out);
        statuses.push_back(run.status);
        kt::exec("UPDATE MGSST20P SET M20Dat = NULL");
        tables.push_back(rowsOf({"MGSST20P"}));
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_EQ(statuses[1], statuses[0]);
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(tables[1], tables[0]);
    EXPECT_EQ(tables[0].at("MGSST20P").size(), 100u);
    const std::string report = kt::fileText(box.root() + "/report.json");
    EXPECT_TRUE(contains(report, "\"rows_before\": 100,\n      \"rows_after\": 100,\n      \"deleted\": 5")) << report;
    EXPECT_TRUE(contains(report, "\"committed\": true")) << report;
}

namespace {

// kelvora-watch --config CONFIG requeue ARGS..., run to its end.
kt::RunResult requeue(const kt::WatchSite& site, const std::vector<std::string>& args) {
    std::vector<std::string> command = {"--config", site.config(), "requeue"};
    command.insert(command.end(), args.begin(), args.end());
    return kt::runProgram(KELVORA_WATCH, command, site.box().root());
}

// The run folders of failed/ whose reason holds part.
std::vector<std::string> failedWith(const kt::WatchSite& site, const std::string& part) {
    std::vector<std::string> found;
    for (const std::string& folder : site.runFolders("failed")) {
        if (contains(site.runFile("failed", folder, "reason"), part)) found.push_back(folder);
    }
    return found;
}

// The words of the command a held run's reason ends with.
std::vector<std::string> acceptCommandOf(const std::string& reason) {
    const std::string lead = "let it through once with: kelvora-watch ";
    const size_t at = reason.find(lead);
    std::vector<std::string> words;
    if (at == std::string::npos) return words;
    std::string rest = reason.substr(at + lead.size());
    rest = rest.substr(0, rest.find('\n'));
    for (size_t start = 0; start < rest.size();) {
        const size_t blank = rest.find(' ', start);
        words.push_back(rest.substr(start, blank - start));
        start = blank == std::string::npos ? rest.size() : blank + 1;
    }
    return words;
}

}  // namespace

// The watcher guards with its defaults (50 rows and 10 %): the three files
// that would wipe most of a table go to failed/ as held, every table as it
// was, with reasons that say why and how to let them through; status and
// the metrics count them. A plain requeue is held again; the command of the
// reason lets exactly that file through once, and the same bytes delivered
// again later are held again.
TEST(DeleteGuard, WatcherHoldsByDefaultAndAcceptedDeletesGoThroughOnce) {
    kt::resetSchema();
    kt::WatchSite site("[file 20P*]\ntype = 20P\n[file KST*]\ntype = KST\n[file IDN*]\ntype = IDN\n");
    const std::string metrics = site.folder("kelvora.prom");
    std::string config = kt::fileText(site.config());
    config.insert(config.find("[site]\n") + 7, "metrics = " + metrics + "\n");
    site.box().writeFile("../../watch.conf", config);
    const std::string samples = site.folder("samples");
    writeSamples(site.box(), samples);
    for (const GuardCase& c : Cases) site.deliver(std::string(c.typeCode) + "_0001.txt", kt::fileText(samples + "/" + c.typeCode + ".txt"));
    kt::RunResult whole = site.once();
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::vector<std::string> allTables;
    for (const GuardCase& c : Cases) allTables.insert(allTables.end(), c.tables.begin(), c.tables.end());
    const Tables before = rowsOf(allTables);

    std::map<std::string, std::string> small;
    for (const GuardCase& c : Cases) {
        small[c.typeCode] = firstLines(kt::fileText(samples + "/" + c.typeCode + ".txt"), c.keptRecords);
        site.deliver(std::string(c.typeCode) + "_0002.txt", small[c.typeCode]);
    }
    kt::RunResult held = site.once();
    EXPECT_EQ(held.status, FilesFailedStatus) << held.err;
    EXPECT_EQ(rowsOf(allTables), before);
    const std::vector<std::string> failed = failedWith(site, "held by the deletion guard, nothing was committed");
    ASSERT_EQ(failed.size(), 3u) << held.err;
    const std::vector<std::string> run20P =
        failedWith(site, "MGSST20P would lose 90 of its 100 rows (max-deletes = 50, max-delete-share = 10 %)");
    ASSERT_EQ(run20P.size(), 1u);
    EXPECT_EQ(failedWith(site, "QVS120KID would lose 70 of its 100 rows").size(), 1u);
    EXPECT_EQ(failedWith(site, "QVS301ASW would lose 90 of its 100 rows").size(), 1u);
    kt::RunResult status = kt::runProgram(KELVORA_WATCH, {"--config", site.config(), "status"}, site.box().root());
    EXPECT_EQ(status.status, FilesFailedStatus) << status.out;
    EXPECT_TRUE(contains(status.out, "! 20P: ")) << status.out;
    EXPECT_TRUE(contains(status.out, "held by the deletion guard")) << status.out;
    EXPECT_TRUE(contains(kt::fileText(metrics), "kelvora_watch_files_held_total{type=\"20P\"} 1\n"));

    const std::string kstRun = failedWith(site, "QVS120KID would lose")[0];
    ASSERT_EQ(requeue(site, {site.folder("failed") + "/" + kstRun}).status, 0);
    const std::vector<std::string> command = acceptCommandOf(site.runFile("failed", run20P[0], "reason"));
    ASSERT_FALSE(command.empty());
    kt::RunResult accepted = kt::runProgram(KELVORA_WATCH, command, site.box().root());
    ASSERT_EQ(accepted.status, 0) << accepted.err;
    kt::RunResult through = site.once();
    EXPECT_EQ(kt::countRows("MGSST20P"), 10) << through.err;
    EXPECT_EQ(kt::countRows("QVS120KID"), 100) << through.err;
    EXPECT_EQ(failedWith(site, "QVS120KID would lose 70 of its 100 rows").size(), 2u) << through.err;

    site.deliver("20P_0003.txt", kt::fileText(samples + "/20P.txt"));
    ASSERT_EQ(site.once().status, 0);
    site.deliver("20P_0002.txt", small["20P"]);
    kt::RunResult again = site.once();
    EXPECT_EQ(again.status, FilesFailedStatus) << again.err;
    EXPECT_EQ(kt::countRows("MGSST20P"), 100);
    EXPECT_EQ(failedWith(site, "MGSST20P would lose 90 of its 100 rows").size(), 2u) << again.err;
}
