// The terminal interface tables 20P, 35P and 41P, and the rules of the record
// loop that every member shares, seen through 20P.
#include <gtest/gtest.h>

#include "harness.h"

using kt::field;

namespace {

std::string record20P(const std::string& trm, const std::string& sch, const std::string& tg1,
                      const std::string& zz2, const std::string& ofv, const std::string& ofb) {
    return field(trm, 255) + field(sch, 2) + field(tg1, 1) + field(zz2, 5) + field(ofv, 4) + field(ofb, 4) + "\n";
}

std::string record35P(const std::string& trm, const std::string& bkl, const std::string& les,
                      const std::string& zko, const std::string& bch = "B") {
    return field(trm, 255) + field("F1", 3) + field(bkl, 5) + field(les, 2) + field("W", 2) + field("P1", 3) +
           field(zko, 5) + field("ZZ", 5) + field(bch, 1) + "\n";
}

std::string record41P(const std::string& trm, const std::string& von, const std::string& bis,
                      const std::string& tnr = "1") {
    return field(trm, 255) + field("F", 3) + field("Z1", 3) + field("W", 2) + field("ZZ", 5) + field(tnr, 1) +
           field(von, 4) + field(bis, 4) + "\n";
}

const char* const Count20P = "\n%d Datensaetze in MGSST20P eingefuegt\n";

std::string count(const char* format, int n) {
    char text[80];
    snprintf(text, sizeof text, format, n);
    return text;
}

const std::string WrongLength = "Datensatz mit falscher Satzlaenge!!";

}  // namespace

TEST(Import20P, ReplaceModeEmptiesTheTableAndStoresTheUntrimmedFieldsAsTheyStand) {
    kt::resetSchema();
    kt::exec("INSERT INTO MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb) VALUES ('OLD','1','1','1','1','1')");
    kt::Sandbox box;
    box.writeFile("t.txt", record20P("  T100", "A", "x", "", " 12", "7   ") + record20P("T200", "", "", "12345", "abcd", ""));
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, count(Count20P, 2));
    EXPECT_EQ(run.status, 0);
    auto rows = kt::query("SELECT M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb, M20Dat IS NOT NULL FROM MGSST20P ORDER BY M20Trm DESC");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (kt::Row{"T200", "", "", "12345", "abcd", "    ", "1"}));
    EXPECT_EQ(rows[1], (kt::Row{"  T100", "A", "x", "     ", " 12 ", "7   ", "1"}));
}

TEST(Import20P, UpdateModeUpdatesExistingKeysInsertsNewOnesAndKeepsTheRest) {
    kt::resetSchema();
    kt::exec("INSERT INTO MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb) VALUES "
             "('KEEP','1','1','1    ','1   ','old '), ('T1','A','x','1    ','2   ','old ')");
    kt::Sandbox box;
    box.writeFile("t.txt", record20P("T1", "A", "x", "1", "2", "new") + record20P("T2", "B", "y", "3", "4", "ins"));
    kt::RunResult run = box.run({"t.txt", "20P", "UPD"});
    EXPECT_EQ(run.out, count(Count20P, 2));
    EXPECT_EQ(run.status, 0);
    auto rows = kt::query("SELECT M20Trm, M20Ofb FROM MGSST20P ORDER BY M20Trm");
    EXPECT_EQ(rows, (std::vector<kt::Row>{{"KEEP", "old "}, {"T1", "new "}, {"T2", "ins "}}));

    // The same file again changes nothing and still counts every record.
    box.writeFile("t.txt", record20P("T1", "A", "x", "1", "2", "new") + record20P("T2", "B", "y", "3", "4", "ins"));
    run = box.run({"t.txt", "20p", "upd"});
    EXPECT_EQ(run.out, count(Count20P, 2));
    EXPECT_EQ(kt::countRows("MGSST20P"), 3);
}

TEST(Import20P, QuotesBackslashesAndUmlautsAreStoredExactly) {
    kt::resetSchema();
    kt::Sandbox box;
    const std::vector<std::string> names = {"O'Neil", "it''s", "ends\\", "M\xFCller \xD6sterreich", "x' OR '1'='1", "a\\'b"};
    std::string file;
    for (size_t i = 0; i < names.size(); ++i) file += record20P(names[i], std::to_string(i), "", "", "", "");
    box.writeFile("t.txt", file);
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, count(Count20P, 6));
    auto rows = kt::query("SELECT M20Trm FROM MGSST20P ORDER BY M20Sch");
    ASSERT_EQ(rows.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(rows[i][0], names[i]);
}

TEST(RecordLoop, LineRulesLengthMessagesAndLineEnds) {
    kt::resetSchema();
    kt::Sandbox box;
    std::string good = record20P("A", "1", "", "", "", "");
    std::string crlf = record20P("B", "2", "", "", "", "");
    crlf.back() = '\r';
    crlf += "\n";
    std::string blanks(271, ' ');
    std::string file = "\n" + good + "short\n" + "also short\n" + crlf + blanks + "\n" +
                       record20P("C", "3", "", "", "", "").substr(0, 271) + "\n" + "\x1A" + "ignored\n";
    box.writeFile("t.txt", file);
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, WrongLength + WrongLength + count(Count20P, 4));
    EXPECT_EQ(run.status, 0);
    auto rows = kt::query("SELECT M20Trm, M20Sch FROM MGSST20P ORDER BY M20Sch");
    EXPECT_EQ(rows, (std::vector<kt::Row>{{"", ""}, {"A", "1"}, {"B", "2"}, {"C", "3"}}));
}

TEST(RecordLoop, LastLineWithoutNewlineAndOverlongLines) {
    kt::resetSchema();
    kt::Sandbox box;
    std::string noNewline = record20P("LAST", "9", "", "", "", "");
    noNewline.pop_back();
    // One character over the record: the extra character takes the newline's
    // place and belongs to no field. Longer lines are one wrong line each,
    // echoed with /D as far as the record length, never cut into records.
    std::string oneOver = record20P("OVER", "7", "", "", "", "").substr(0, 271) + "X\n";
    std::string overlong = record20P("LONG", "8", "", "", "", "").substr(0, 271) + "Xrest\n";
    box.writeFile("t.txt", oneOver + overlong + "\n" + noNewline);
    kt::RunResult run = box.run({"t.txt", "20P", "/D"});
    EXPECT_EQ(run.out, oneOver.substr(0, 272) + "\n" + overlong.substr(0, 272) + "\n" + WrongLength +
                           noNewline + "\n" + WrongLength + count(Count20P, 1) + "\n");
    auto rows = kt::query("SELECT M20Trm, M20Ofb FROM MGSST20P");
    EXPECT_EQ(rows, (std::vector<kt::Row>{{"OVER", "    "}}));
    // The record one character over is one line with its newline.
    EXPECT_NE(run.err.find("t.wrk line 2: wrong length 277"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("4 lines, 1 written, 0 failed, 2 wrong length, 1 lone newlines skipped"),
              std::string::npos)
        << run.err;
}

// A file of another type: every line has the wrong length, so nothing is
// written, the run ends with 99 and the opening delete is never committed.
TEST(RecordLoop, FileOfAnotherTypeChangesNothingAndEndsWith99) {
    kt::resetSchema();
    kt::exec("INSERT INTO MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb) "
             "VALUES ('KEEP', '1', 'A', '00001', '0001', '0002')");
    kt::exec("COMMIT");
    kt::Sandbox box;
    std::string kstLine = kt::field("KST4711", 134) + "\n";
    box.writeFile("t.txt", kstLine + kstLine);
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, WrongLength + WrongLength + count(Count20P, 0));
    EXPECT_EQ(run.status, 99);
    EXPECT_EQ(kt::countRows("MGSST20P"), 1);
}

TEST(RecordLoop, DebugModeEchoesEveryLineButALoneNewline) {
    kt::resetSchema();
    kt::Sandbox box;
    std::string good = record20P("A", "1", "", "", "", "");
    box.writeFile("t.txt", "\nbad\n" + good);
    kt::RunResult run = box.run({"t.txt", "20P", "/D"});
    EXPECT_EQ(run.out, "bad\n\n" + WrongLength + good + "\n" + count(Count20P, 1) + "\n");
    EXPECT_EQ(run.status, 0);
}

TEST(RecordLoop, EmptyFileAndMissingTable) {
    kt::resetSchema();
    kt::exec("INSERT INTO MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb) VALUES ('OLD','1','1','1','1','1')");
    kt::Sandbox box;
    box.writeFile("t.txt", "");
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, count(Count20P, 0));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::countRows("MGSST20P"), 0);

    kt::exec("DROP TABLE MGSST20P");
    box.writeFile("t.txt", record20P("T'1", "1", "", "", "", "") + record20P("T2", "2", "", "", "", ""));
    run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, "  Trm T'1: Insert-Fehler: 1146\n  Trm T2: Insert-Fehler: 1146\n" + count(Count20P, 0));
    EXPECT_EQ(run.status, 122);
    box.writeFile("t.txt", record20P("T1", "1", "", "", "", ""));
    run = box.run({"t.txt", "20P", "UPD"});
    EXPECT_EQ(run.out, "  Trm T1: Write-Fehler: 1146\n" + count(Count20P, 0));
    EXPECT_EQ(run.status, 122);
    kt::resetSchema();
}

TEST(RecordLoop, ALaterSuccessClearsTheResultOfAnEarlierFailure) {
    kt::resetSchema();
    kt::Sandbox box;
    std::string one = record20P("DUP", "1", "", "", "", "");
    box.writeFile("t.txt", one + one + record20P("OK", "2", "", "", "", ""));
    kt::RunResult run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.out, "  Trm DUP: Insert-Fehler: 1062\n" + count(Count20P, 2));
    EXPECT_EQ(run.status, 0);
    box.writeFile("t.txt", one + one);
    run = box.run({"t.txt", "20P"});
    EXPECT_EQ(run.status, 1062 & 0xFF);
}

TEST(Import35P, ZkoRecordsUpdateQvs401ZlsAndAreNeverCounted) {
    kt::resetSchema();
    kt::exec("INSERT INTO QVS401ZLS (ZLSTRM, ZLSLES, ZLSZKO) VALUES ('T1','L1','old'), ('T1','L2','old')");
    kt::exec("INSERT INTO MGSST35P (M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl) VALUES ('GONE','1','1','1','1','1')");
    kt::Sandbox box;
    box.writeFile("t.txt", record35P("T1", "*ZKO", "L1", "Z9") + record35P("T1", "*zko", "L2", "Z8") +
                               record35P("T1", " *ZKO", "L2", "Z7", ""));
    kt::RunResult run = box.run({"t.txt", "35P"});
    EXPECT_EQ(run.out, "\n2 Datensaetze in MGSST35P eingefuegt\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::query("SELECT ZLSLES, ZLSZKO FROM QVS401ZLS ORDER BY ZLSLES"),
              (std::vector<kt::Row>{{"L1", "Z9"}, {"L2", "old"}}));
    EXPECT_EQ(kt::query("SELECT M35Bkl, M35Les, M35Zko, M35Bch FROM MGSST35P ORDER BY M35Bkl"),
              (std::vector<kt::Row>{{" *ZKO", "L2", "Z7", ""}, {"*zko", "L2", "Z8", "B"}}));

    // Only "*ZKO" records, in UpdateMode: nothing counted, MGSST35P untouched.
    box.writeFile("t.txt", record35P("T1", "*ZKO", "L2", "Z6"));
    run = box.run({"t.txt", "35P", "UPD"});
    EXPECT_EQ(run.out, "\n0 Datensaetze in MGSST35P eingefuegt\n");
    EXPECT_EQ(kt::countRows("MGSST35P"), 2);
    EXPECT_EQ(kt::query("SELECT ZLSZKO FROM QVS401ZLS WHERE ZLSLES = 'L2'"), (std::vector<kt::Row>{{"Z6"}}));
}

TEST(Import35P, UpdateModeWritesByKeyAndAFailingZkoUpdateIsSilent) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("t.txt", record35P("T1", "K", "L1", "A"));
    ASSERT_EQ(box.run({"t.txt", "35P"}).status, 0);
    box.writeFile("t.txt", record35P("T1", "K", "L1", "B", "") + record35P("T2", "K", "L1", "C"));
    kt::RunResult run = box.run({"t.txt", "35P", "UPD"});
    EXPECT_EQ(run.out, "\n2 Datensaetze in MGSST35P eingefuegt\n");
    EXPECT_EQ(kt::query("SELECT M35Trm, M35Zko, M35Bch FROM MGSST35P ORDER BY M35Trm"),
              (std::vector<kt::Row>{{"T1", "B", ""}, {"T2", "C", "B"}}));

    kt::exec("DROP TABLE QVS401ZLS");
    box.writeFile("t.txt", record35P("T3", "K", "L1", "D") + record35P("T1", "*ZKO", "L1", "E"));
    run = box.run({"t.txt", "35P", "UPD"});
    EXPECT_EQ(run.out, "\n1 Datensaetze in MGSST35P eingefuegt\n");
    EXPECT_EQ(run.status, 122);   // the silent failure is the last statement's result
    kt::resetSchema();
}

TEST(Import41P, ReplaceAndUpdateMode) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("t.txt", record41P("T1", "0800", "1200") + record41P("T1", "1300", "1700") + record41P("T2", "", "0900", ""));
    kt::RunResult run = box.run({"t.txt", "41P"});
    EXPECT_EQ(run.out, "\n3 Datensaetze in MGSST41P eingefuegt\n");
    EXPECT_EQ(kt::countRows("MGSST41P"), 3);
    EXPECT_EQ(kt::query("SELECT M41Tnr, M41Von FROM MGSST41P WHERE M41Trm = 'T2'"), (std::vector<kt::Row>{{"", ""}}));

    box.writeFile("t.txt", record41P("T1", "0800", "1100") + record41P("T1", "0800", "1000") +
                               record41P("T2", "", "0930", "") + record41P("T3", "0600", "0700"));
    run = box.run({"t.txt", "41P", "UPD"});
    EXPECT_EQ(run.out, "\n4 Datensaetze in MGSST41P eingefuegt\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::query("SELECT M41Trm, M41Von, M41Bis FROM MGSST41P ORDER BY M41Trm, M41Von"),
              (std::vector<kt::Row>{{"T1", "0800", "1000"}, {"T1", "1300", "1700"}, {"T2", "", "0930"}, {"T3", "0600", "0700"}}));
}
