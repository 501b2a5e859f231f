// KST: the cost-centre table is brought into line with the file by mark and
// sweep, and the run's result is always the sweep's.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const char* const SelectAll =
    "SELECT KidKst, KidMnd, KidLiz, KidNum, KidSys, KidTxt, KidSta, KidErf "
    "FROM QVS120KID ORDER BY KidKst, KidMnd, KidLiz";

std::string kstLine(const std::string& kst, const std::string& mnd, const std::string& liz,
                    const std::string& num, const std::string& sys, const std::string& txt,
                    const std::string& erf) {
    return kt::field(kst, 30) + kt::field(mnd, 5) + kt::field(liz, 5) + kt::field(num, 7) +
           kt::field(sys, 7) + kt::field(txt, 30) + kt::field(erf, 50) + "\n";
}

std::string countLine(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in Qvs120KID eingefuegt\n";
}

// kst is placed between apostrophes as it stands: write it as SQL text.
void insertRow(const std::string& kst, const std::string& num, int status) {
    kt::exec("INSERT INTO QVS120KID (KidKst, KidMnd, KidLiz, KidNum, KidSys, KidTxt, KidSta, KidErf) "
             "VALUES ('" + kst + "', '01', 'L1', '" + num + "', 'OLDSYS', 'old text', " +
             std::to_string(status) + ", 'old erf')");
}

// A server-side refusal of one kind of statement, so that a run meets a
// real failure where it is wanted.
void refuseOnTable(const std::string& event, const std::string& condition) {
    kt::exec("CREATE TRIGGER refuse_" + event + " BEFORE " + event + " ON QVS120KID FOR EACH ROW "
             "IF " + condition + " THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END IF");
}

constexpr int SignalError = 1644;   // the server's error number for SIGNAL

}  // namespace

TEST(CostCentres, FileDecidesWhichRowsRemainAndHowTheyRead) {
    kt::resetSchema();
    insertRow("KEEP", "OLDNUM", 1);
    insertRow("DROP", "X", 1);
    insertRow("O''K\\\\", "Y", 2);
    kt::Sandbox box;
    box.writeFile("in.txt",
                  kstLine("KEEP", "01", "L1", "", "SYS1", "new text", "erf 1") +
                  kstLine("NEW", "02", "L2", "  12", "S2", "it's \\ here", "a\\'b") +
                  "\n" +
                  kstLine("NEW", "02", "L2", "  12", "S2", "it's \\ here", "a\\'b") +
                  kstLine("O'K\\", "01", "L1", "7654321", "S3", "", "") +
                  kstLine("BLANK", "03", "L3", "", "", "", ""));
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(5));   // the repeated record counts twice
    EXPECT_EQ(run.status, 0);
    std::vector<kt::Row> expected = {
        {"BLANK", "03", "L3", std::nullopt, "", "", "1", ""},
        {"KEEP", "01", "L1", std::nullopt, "SYS1", "new text", "1", "erf 1"},
        {"NEW", "02", "L2", "  12", "S2", "it's \\ here", "1", "a\\'b"},
        {"O'K\\", "01", "L1", "7654321", "S3", "", "1", ""},
    };
    EXPECT_EQ(kt::query(SelectAll), expected);

    // A second run finds every key by its update (apostrophe and backslash
    // included): no row is swept, the duplicate insert of the unchanged
    // repeat still counts.
    box.writeFile("in.txt", kstLine("O'K\\", "01", "L1", "1", "S3", "", "") +
                                kstLine("O'K\\", "01", "L1", "1", "S3", "", ""));
    run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(2));
    EXPECT_EQ(run.status, 0);
    expected = {{"O'K\\", "01", "L1", "1", "S3", "", "1", ""}};
    EXPECT_EQ(kt::query(SelectAll), expected);
}

// A file without a line of the record length is no cost-centre file: it
// would sweep every row, so nothing is committed and the run ends with 99.
// A 20P file named as KST is one wrong line each, never cut into records.
// A file of lone newlines is an empty file and empties the table.
TEST(CostCentres, FileWithoutValidRecordsChangesNothingButAnEmptyFileSweeps) {
    kt::resetSchema();
    kt::Sandbox box;
    const std::string record20P = kt::field("T0001", 255) + "01A0000100010002\n";
    for (auto args : {std::vector<std::string>{"in.txt", "KST"}, std::vector<std::string>{"in.txt", "kst", "UPD"}}) {
        insertRow("A", "1", 1);
        insertRow("B", "2", 4);
        box.writeFile("in.txt", "\n\n" + kstLine("SHORT", "", "", "", "", "", "").substr(1) + record20P);
        kt::RunResult run = box.run(args);
        EXPECT_EQ(run.out, "Datensatz mit falscher Satzlaenge!!Datensatz mit falscher Satzlaenge!!" + countLine(0));
        EXPECT_EQ(run.status, 99);
        EXPECT_EQ(kt::countRows("QVS120KID"), 2);
        kt::exec("DELETE FROM QVS120KID");
    }
    insertRow("A", "1", 1);
    box.writeFile("in.txt", "\n\n");
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(0));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::countRows("QVS120KID"), 0);
}

// A file written in UTF-8 is refused before the mark, so its sync cannot
// delete the rows of lines that grew too long; a Windows-1252 file whose
// first bytes above ASCII happen to look like UTF-8 is imported as always.
TEST(CostCentres, Utf8FileIsRefusedBeforeAnythingIsWritten) {
    kt::resetSchema();
    insertRow("KEEP", "1", 1);
    insertRow("ALSO", "2", 1);
    const std::vector<kt::Row> before = kt::query(SelectAll);
    kt::Sandbox box;
    const std::string utf8 = kstLine("KEEP", "01", "L1", "1", "S", "plain", "E") +
                             kstLine("ALSO", "01", "L1", "2", "S", "Gr\xC3\xB6\xC3\x9F" "e", "WERK\\import");
    for (const char* debug : {"", "/D"}) {
        box.writeFile("in.txt", utf8);
        kt::RunResult run = box.run({"in.txt", "KST", debug});
        EXPECT_EQ(run.out, "Datei in UTF-8 statt Windows-1252, nichts importiert\n") << debug;
        EXPECT_EQ(run.status, 99);
        EXPECT_EQ(kt::query(SelectAll), before);
        EXPECT_EQ(box.readFile("in.wrk"), utf8);
        EXPECT_NE(run.err.find("in.wrk line 2 holds the UTF-8 sequence C3 B6"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("iconv -f UTF-8 -t WINDOWS-1252"), std::string::npos) << run.err;
    }
    // "\xC3\xA4" is two Windows-1252 characters; the later lone "\xE4" is not UTF-8.
    box.writeFile("in.txt", kstLine("KEEP", "01", "L1", "1", "S", "\xC3\xA4", "E") +
                                kstLine("NEW", "01", "L1", "3", "S", "M\xE4rz", "E"));
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(2));
    EXPECT_EQ(run.status, 0);
    std::vector<kt::Row> expected = {{"KEEP", "\xC3\xA4"}, {"NEW", "M\xE4rz"}};
    EXPECT_EQ(kt::query("SELECT KidKst, KidTxt FROM QVS120KID ORDER BY KidKst"), expected);
}

TEST(CostCentres, FailedSweepIsTheResultAndLeavesMarkedRows) {
    kt::resetSchema();
    insertRow("GONE", "1", 1);
    refuseOnTable("DELETE", "TRUE");
    kt::Sandbox box;
    box.writeFile("in.txt", kstLine("HERE", "01", "L1", "5", "S", "T", "E"));
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(1));
    EXPECT_EQ(run.status, SignalError & 0xFF);
    // Standard error says which statement failed, why, and what stays.
    EXPECT_NE(run.err.find("closing statement \"DELETE FROM RURUVURO.QVS120KID WHERE KidSta = 4\" (delete the rows "
                           "still marked) failed with error 1644: refused; the marked rows stay and are committed with "
                           "status 4"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("committed although the closing statement failed, exit 108"), std::string::npos) << run.err;
    // Committed all the same: the written row at 1, the unlisted one still marked.
    std::vector<kt::Row> expected = {{"GONE", "4"}, {"HERE", "1"}};
    EXPECT_EQ(kt::query("SELECT KidKst, KidSta FROM QVS120KID ORDER BY KidKst"), expected);
}

// KELVORA_MAX_FAILED makes the run all or nothing: a sweep that fails
// commits nothing either. The table is as before the run, no row left
// marked, the abort line follows the count line, and the exit status is the
// sweep's error.
TEST(CostCentres, AllOrNothingRunWhoseSweepFailsCommitsNothing) {
    kt::resetSchema();
    insertRow("GONE", "1", 1);
    insertRow("KEEP", "2", 1);
    const std::vector<kt::Row> before = kt::query(SelectAll);
    refuseOnTable("DELETE", "TRUE");
    kt::Sandbox box;
    box.writeFile("in.txt",
                  kstLine("KEEP", "01", "L1", "5", "S", "new", "E") + kstLine("HERE", "01", "L1", "", "", "", ""));
    kt::RunResult run =
        box.run({"KELVORA_MAX_FAILED=0", "KELVORA_REPORT=" + box.path("report.json")}, {"in.txt", "KST"});
    EXPECT_EQ(run.out, countLine(2) + "Transaktion abgebrochen, Fehler: 1644\n");
    EXPECT_EQ(run.status, SignalError & 0xFF);
    EXPECT_EQ(kt::query(SelectAll), before);
    EXPECT_EQ(run.err.find("committed with status 4"), std::string::npos) << run.err;
    const std::string report = box.readFile("report.json");
    EXPECT_NE(report.find("\"committed\": false"), std::string::npos) << report;
    EXPECT_NE(report.find("\"ending\": \"closing statement failed\""), std::string::npos) << report;
}

TEST(CostCentres, FailedRecordIsReportedButTheSweepDecidesTheResult) {
    kt::resetSchema();
    insertRow("BAD", "1", 1);
    refuseOnTable("UPDATE", "NEW.KidKst = 'BAD' AND NEW.KidSta = 1");
    refuseOnTable("INSERT", "NEW.KidKst = 'WORSE'");
    kt::Sandbox box;
    box.writeFile("in.txt", kstLine("GOOD", "01", "L1", "", "", "", "") +
                                kstLine("BAD", "01", "L1", "", "", "", "") +
                                kstLine("WORSE", "01", "L1", "", "", "", ""));
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.out, "  Kostenstellen: Insert-Fehler: 1644\n"
                       "  Kostenstellen: Insert-Fehler: 1644\n" + countLine(1));
    EXPECT_EQ(run.status, 0);
    // The row whose record failed kept its mark and was swept.
    std::vector<kt::Row> expected = {{"GOOD"}};
    EXPECT_EQ(kt::query("SELECT KidKst FROM QVS120KID"), expected);
}

// KELVORA_MAX_FAILED: with more failed records than it allows, the run still
// reads to the end and prints every failure, but runs no sweep and commits
// nothing, so the row of the failed record is not deleted. At the limit the
// run is the one above.
TEST(CostCentres, TooManyFailedRecordsCommitNothingAndSweepNothing) {
    kt::resetSchema();
    insertRow("BAD", "1", 1);
    refuseOnTable("UPDATE", "NEW.KidKst = 'BAD' AND NEW.KidSta = 1");
    refuseOnTable("INSERT", "NEW.KidKst = 'WORSE'");
    const std::vector<kt::Row> before = kt::query(SelectAll);
    kt::Sandbox box;
    const std::string file = kstLine("GOOD", "01", "L1", "", "", "", "") + kstLine("BAD", "01", "L1", "", "", "", "") +
                             kstLine("WORSE", "01", "L1", "", "", "", "");
    const std::string failures = "  Kostenstellen: Insert-Fehler: 1644\n  Kostenstellen: Insert-Fehler: 1644\n";
    box.writeFile("in.txt", file);
    kt::RunResult run = box.run({"KELVORA_MAX_FAILED=1", "KELVORA_REPORT=" + box.path("report.json")}, {"in.txt", "KST"});
    EXPECT_EQ(run.out, failures + countLine(1) + "Zu viele fehlerhafte Datensaetze (2), nichts uebernommen\n");
    EXPECT_EQ(run.status, 98);
    EXPECT_EQ(kt::query(SelectAll), before);
    const std::string report = box.readFile("report.json");
    EXPECT_NE(report.find("\"committed\": false"), std::string::npos) << report;
    EXPECT_NE(report.find("\"ending\": \"too many failed\""), std::string::npos) << report;

    box.writeFile("in.txt", file);
    run = box.run({"KELVORA_MAX_FAILED=2"}, {"in.txt", "KST"});
    EXPECT_EQ(run.out, failures + countLine(1));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::query("SELECT KidKst FROM QVS120KID"), (std::vector<kt::Row>{{"GOOD"}}));
}
