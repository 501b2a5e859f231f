// What the programs that call the importer unattended learn of a run:
// KELVORA_REPORT, its JSON report, and KELVORA_JOURNAL, its row in a table
// of the database, there exactly when the run committed. Standard output
// and the exit status stay those of a run without them.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

using Json = nlohmann::json;

constexpr int SignalError = 1644;   // the server's error number for SIGNAL
constexpr int RefusedRecords = 22;
constexpr size_t ListedFailures = 20;

std::string kstLine(const std::string& kst) {
    return kt::field(kst, 30) + kt::field("01", 5) + kt::field("L1", 5) + kt::field("", 7) + kt::field("S1", 7) +
           kt::field("text", 30) + kt::field("erf", 50) + "\n";
}

// Refuses every cost centre whose name starts with "B", as a server would
// refuse a record.
void refuseNamesWithB() {
    kt::exec("CREATE TRIGGER refuse_b BEFORE INSERT ON QVS120KID FOR EACH ROW "
             "IF NEW.KidKst LIKE 'B%' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused \xE4'; END IF");
}

std::vector<std::string> entriesOf(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Json readReport(const kt::Sandbox& box) {
    Json report = Json::parse(box.readFile("../report.json"), nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << box.readFile("../report.json");
    return report;
}

}  // namespace

// A run with refused records, a wrong line and a good one: the report holds
// the counts, the first 20 failures with their keys and the server's text
// in UTF-8, and the run's end; the output is that of a run without report.
// A file with no line of the record length is reported as not committed.
TEST(RunReport, TellsTheCountsTheFirstFailuresAndWhetherTheRunCommitted) {
    kt::resetSchema();
    refuseNamesWithB();
    std::string file = kstLine("A");
    for (int i = 1; i <= RefusedRecords; ++i) file += kstLine("B\xE4r" + std::to_string(i));
    file += "short\n";
    kt::Sandbox box;
    box.writeFile("in.txt", file);
    const std::string reportPath = box.path("../report.json");
    kt::RunResult reported = box.run({"KELVORA_REPORT=" + reportPath}, {"in.txt", "KST"});
    box.writeFile("in.txt", file);
    kt::RunResult plain = box.run({"in.txt", "KST"});
    EXPECT_EQ(reported.out, plain.out);
    EXPECT_EQ(reported.status, plain.status);

    Json report = readReport(box);
    EXPECT_EQ(report["type"], "KST");
    EXPECT_EQ(report["source"], "in.txt");
    EXPECT_EQ(report["work_file"], "in.wrk");
    EXPECT_EQ(report["lines"], RefusedRecords + 2);
    EXPECT_EQ(report["written"], 1);
    EXPECT_EQ(report["failed"], RefusedRecords);
    EXPECT_EQ(report["wrong_length"], 1);
    EXPECT_EQ(report["committed"], true);
    EXPECT_EQ(report["ending"], "completed");
    EXPECT_EQ(report["result"], 0);
    EXPECT_EQ(report["exit_status"], reported.status);
    ASSERT_EQ(report["failures"].size(), ListedFailures);
    EXPECT_EQ(report["failures"][0],
              Json({{"line", 2}, {"key", "B\xC3\xA4r1 / 01 / L1"}, {"error", SignalError}, {"text", "refused \xC3\xA4"}}));
    EXPECT_EQ(report["failures"][ListedFailures - 1]["line"], ListedFailures + 1);
    EXPECT_EQ(report["failures_not_listed"], RefusedRecords - static_cast<int>(ListedFailures));
    // Written whole: no temporary file is left beside it.
    EXPECT_EQ(entriesOf(box.path("..")), (std::vector<std::string>{"report.json", "work"}));

    box.writeFile("in.txt", "a line of another format\n");
    kt::RunResult foreign = box.run({"KELVORA_REPORT=" + reportPath}, {"in.txt", "KST"});
    report = readReport(box);
    EXPECT_EQ(report["committed"], false);
    EXPECT_EQ(report["ending"], "no valid line");
    EXPECT_EQ(report["result"], 99);
    EXPECT_EQ(report["exit_status"], foreign.status);
    EXPECT_EQ(report["failures"].size(), 0u);
}

namespace {

// The journal's row of each run, the time as whether it lies within a
// minute of the server's UTC time.
const char* const JournalRows =
    "SELECT RunId, TypeCode, SourceFile, WorkFileBytes, Sha256, LineCount, WrittenCount, FailedCount, "
    "WrongLengthCount, ExitStatus, ABS(TIMESTAMPDIFF(SECOND, CommitUtc, UTC_TIMESTAMP())) < 60 "
    "FROM KELVORA.RUNS ORDER BY RunId";
// A SHA-256 as a caller may give it, in upper case, and as the row keeps it.
const std::string FileHash = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
const std::string FileHashInRow = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr int DuplicateKey = 1062;
constexpr int NoSuchTable = 1146;
constexpr int JournalSettingFault = 97;

std::vector<std::string> journalEnvironment(const std::string& runId) {
    return {"KELVORA_JOURNAL=KELVORA.RUNS", "KELVORA_RUN_ID=" + runId, "KELVORA_FILE_SHA256=" + FileHash};
}

std::string count20P(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in MGSST20P eingefuegt\n";
}

std::string aborted(int code) {
    return "Transaktion abgebrochen, Fehler: " + std::to_string(code) + "\n";
}

}  // namespace

// A run that commits writes one journal row with its facts, the exit
// status it ends with (here a failed last record's) included; standard
// output and the exit status are those of the run without a journal.
TEST(RunJournal, CommittedRunWritesOneRowWithItsFacts) {
    kt::resetSchema();
    kt::resetJournal();
    kt::Sandbox box;
    const std::string file = "short\n" + kt::records20P(1, 2) + kt::record20P(1);
    box.writeFile("in.txt", file);
    kt::RunResult plain = box.run({"in.txt", "20P"});
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 0);
    box.writeFile("in.txt", file);
    kt::RunResult journaled = box.run(journalEnvironment("run-1_A"), {"in.txt", "20P"});
    EXPECT_EQ(journaled.out, plain.out);
    EXPECT_EQ(journaled.status, plain.status);
    EXPECT_EQ(journaled.status, DuplicateKey & 0xFF);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}}));
    const std::vector<kt::Row> expected = {{"run-1_A", "20P", "in.txt", std::to_string(file.size()), FileHashInRow,
                                            "4", "2", "1", "1", std::to_string(DuplicateKey & 0xFF), "1"}};
    EXPECT_EQ(kt::query(JournalRows), expected);
}

// A journal row that cannot be written fails the run as a failed COMMIT
// does: a missing table, then a run id used before. Nothing of the run is
// kept, the abort line follows the count line, the exit status is the
// insert's error, and standard error names the journal statement.
TEST(RunJournal, RowThatCannotBeWrittenCommitsNothing) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::exec("DROP DATABASE IF EXISTS KELVORA");
    kt::Sandbox box;
    std::vector<std::string> environment = journalEnvironment("run-1");
    environment.push_back("KELVORA_REPORT=" + box.path("../report.json"));
    box.writeFile("in.txt", kt::records20P(1, 2));
    kt::RunResult run = box.run(environment, {"in.txt", "20P"});
    EXPECT_EQ(run.out, count20P(2) + aborted(NoSuchTable));
    EXPECT_EQ(run.status, NoSuchTable & 0xFF);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
    EXPECT_NE(run.err.find("the journal statement \"INSERT INTO `KELVORA`.`RUNS`"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("failed with error 1146: Table"), std::string::npos) << run.err;
    Json report = readReport(box);
    EXPECT_EQ(report["committed"], false);
    EXPECT_EQ(report["ending"], "journal failed");

    kt::resetJournal();
    box.writeFile("in.txt", kt::records20P(1, 2));
    run = box.run(environment, {"in.txt", "20P"});
    EXPECT_EQ(run.status, 0) << run.err;
    box.writeFile("in.txt", kt::records20P(3, 3));
    run = box.run(environment, {"in.txt", "20P"});
    EXPECT_EQ(run.out, count20P(1) + aborted(DuplicateKey));
    EXPECT_EQ(run.status, DuplicateKey & 0xFF);
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"T1"}, {"T2"}}));
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 1);
}

// A run that does not commit (too many failed records) writes no row.
TEST(RunJournal, RunThatDoesNotCommitWritesNoRow) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::resetJournal();
    kt::Sandbox box;
    std::vector<std::string> environment = journalEnvironment("run-1");
    environment.push_back("KELVORA_MAX_FAILED=0");
    box.writeFile("in.txt", kt::record20P(1) + kt::record20P(1));
    kt::RunResult run = box.run(environment, {"in.txt", "20P"});
    EXPECT_EQ(run.status, 98) << run.out;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 0);
}

// Journal settings that are not usable are a fault of the caller: each is
// named on standard error, and the run does not start (no output, the file
// not moved, nothing sent) and ends with 97.
TEST(RunJournal, UnusableSettingsStopTheRunBeforeItStarts) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::resetJournal();
    kt::Sandbox box;
    const std::string table = "KELVORA_JOURNAL=KELVORA.RUNS";
    const std::string id = "KELVORA_RUN_ID=run-1";
    const std::string hash = "KELVORA_FILE_SHA256=" + FileHash;
    const std::vector<std::vector<std::string>> faults = {
        {"KELVORA_JOURNAL=", id, hash},
        {"KELVORA_JOURNAL=RUNS", id, hash},
        {"KELVORA_JOURNAL=KELVORA.RUNS.OLD", id, hash},
        {"KELVORA_JOURNAL=KELVORA.RU NS", id, hash},
        {"KELVORA_JOURNAL=KELVORA.`RUNS`", id, hash},
        {"KELVORA_JOURNAL=" + std::string(65, 'K') + ".RUNS", id, hash},
        {table, hash},
        {table, "KELVORA_RUN_ID=run.1", hash},
        {table, "KELVORA_RUN_ID=" + std::string(65, 'r'), hash},
        {table, id},
        {table, id, "KELVORA_FILE_SHA256=" + FileHash.substr(1)},
        {table, id, "KELVORA_FILE_SHA256=" + FileHash.substr(1) + "G"},
    };
    for (const std::vector<std::string>& environment : faults) {
        box.writeFile("in.txt", kt::records20P(1, 2));
        kt::RunResult run = box.run(environment, {"in.txt", "20P"});
        EXPECT_EQ(run.status, JournalSettingFault) << environment[0] << " " << environment[1];
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(box.exists("in.txt"));
        EXPECT_FALSE(box.exists("in.wrk"));
        EXPECT_NE(run.err.find("the run does not start"), std::string::npos) << run.err;
    }
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 0);
}

// A journal table without transactions would keep the row of a run that is
// rolled back or killed after writing it, and the file would pass for
// imported: once connected, before anything of the import, the run is
// refused with 97 (no output, the file not moved, nothing sent or kept),
// and standard error names the table and its engine.
TEST(RunJournal, TableWithoutTransactionsStopsTheRunBeforeTheImport) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::resetJournal();
    kt::exec("ALTER TABLE KELVORA.RUNS ENGINE=MyISAM");
    kt::Sandbox box;
    box.writeFile("in.txt", kt::records20P(1, 2));
    kt::RunResult run = box.run(journalEnvironment("run-1"), {"in.txt", "20P"});
    EXPECT_EQ(run.status, JournalSettingFault) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(box.exists("in.txt"));
    EXPECT_FALSE(box.exists("in.wrk"));
    EXPECT_NE(run.err.find("the journal table KELVORA.RUNS has no transactions (engine MyISAM)"), std::string::npos)
        << run.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
    EXPECT_EQ(kt::countRows("KELVORA.RUNS"), 0);
}
