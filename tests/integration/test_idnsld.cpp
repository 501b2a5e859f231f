// The identity master (IDN) and the balances (SLD) imports, run as the real
// program against the fixture's server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

// ------------------------------------------------------------ IDN

// One identity record; the defaults make a valid record of the MySQL mode.
struct Identity {
    std::string num = "1001", sto = "7", gvo = "20240115", gbi = "20251231", pnr = "P1";
    std::string nam = "Meier", spr = "DE", bkl = "3", pin = "1234", cod = "C1", grp = "G1";
    std::string liz = "L1", mnd = "M1", atp = "A", aan = "Anrede", mta = "MT", sal = "100";
    std::string bk2 = "B2", sta = "S1", dat = "20240102030405", erf = "Erfasser", map = "X";
    std::string kst = "Kostenstelle 1";

    std::string line() const {
        return kt::field(num, 50) + kt::field(sto, 8) + kt::field(gvo, 8) + kt::field(gbi, 8) +
               kt::field(pnr, 8) + kt::field(nam, 50) + kt::field(spr, 5) + kt::field(bkl, 5) +
               kt::field(pin, 32) + kt::field(cod, 5) + kt::field(grp, 5) + kt::field(liz, 5) +
               kt::field(mnd, 5) + kt::field(atp, 2) + kt::field(aan, 50) + kt::field(mta, 2) +
               kt::field(sal, 10) + kt::field(bk2, 5) + kt::field(sta, 5) + kt::field(dat, 14) +
               kt::field(erf, 50) + kt::field(map, 1) + kt::field(kst, 30) + "\n";
    }
};

std::string identityCount(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in Qvs301ASW eingefuegt\n";
}

// The server's date as the driver reads it, in the YYYYMMDD form of the rules.
std::string serverDate() {
    std::vector<kt::Row> rows = kt::query("SELECT DATE_FORMAT(CURDATE(), '%Y%m%d')");
    return rows.size() == 1 && rows[0][0] ? *rows[0][0] : std::string("?");
}

// Dates of one identity row, as YYYYMMDD / YYYYMMDDHHMMSS texts or "NULL".
std::vector<std::string> identityDates(const std::string& num) {
    std::vector<kt::Row> rows = kt::query(
        "SELECT DATE_FORMAT(AswGvo, '%Y%m%d'), DATE_FORMAT(AswGbi, '%Y%m%d'), "
        "DATE_FORMAT(AswDat, '%Y%m%d%H%i%s') FROM RURUVURO.QVS301ASW WHERE AswNum = '" + num + "'");
    if (rows.size() != 1) return {"rows: " + std::to_string(rows.size())};
    std::vector<std::string> dates;
    for (const kt::Cell& cell : rows[0]) dates.push_back(cell ? *cell : "NULL");
    return dates;
}

std::string identityName(const std::string& num) {
    std::vector<kt::Row> rows =
        kt::query("SELECT AswNam FROM RURUVURO.QVS301ASW WHERE AswNum = '" + num + "'");
    return rows.size() == 1 && rows[0][0] ? *rows[0][0] : std::string("?");
}

void seedIdentityTables() {
    kt::exec("INSERT INTO RURUVURO.QVS301ASW (AswNum, AswGvo, AswBkl) VALUES ('old', '2001-01-01', '0')");
    kt::exec("INSERT INTO RURUVURO.QVS113STO (StoNum) VALUES ('oldsto')");
    kt::exec("INSERT INTO RURUVURO.QVS113AWV (AwvNum, AwvSto, AwvCod) VALUES ('old', 'oldsto', 'c')");
}

TEST(IdentityMaster, MySqlModeClearsFillsDatesAndWritesThreeTables) {
    kt::resetSchema();
    seedIdentityTables();
    const std::string today = serverDate();

    Identity blankDates;        // blank key parts, blank validity start, zero end and time stamp
    blankDates.num = "blank";
    blankDates.sto = "";
    blankDates.bkl = "";
    blankDates.gvo = "";
    blankDates.gbi = "00000000";
    blankDates.dat = "00000000000000";
    Identity zeros;             // eight zeros as start; 1899 and the 1900 boundary are not dates
    zeros.num = "zeros";
    zeros.gvo = "00000000";
    zeros.gbi = "19000000";
    zeros.dat = "18991231235959";
    Identity old;
    old.num = "old1899";
    old.gvo = "18991231";
    old.gbi = "19000101";       // the first date that counts
    Identity valid;
    valid.num = "valid";
    Identity changed = valid;   // same key: updates the row of valid
    changed.nam = "Schulze";
    changed.gbi = "";
    Identity same = changed;    // changes nothing: insert refused as duplicate, still counted

    kt::Sandbox box;
    box.writeFile("idn.txt", blankDates.line() + zeros.line() + old.line() + valid.line() +
                                 changed.line() + same.line());
    kt::RunResult run = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(run.out, identityCount(6));
    EXPECT_EQ(run.status, 0);

    EXPECT_EQ(kt::countRows("QVS301ASW"), 4);
    EXPECT_EQ(identityDates("blank"), (std::vector<std::string>{today, "NULL", "NULL"}));
    EXPECT_EQ(identityDates("zeros"), (std::vector<std::string>{today, "NULL", "NULL"}));
    EXPECT_EQ(identityDates("old1899"), (std::vector<std::string>{today, "19000101", "20240102030405"}));
    EXPECT_EQ(identityDates("valid"), (std::vector<std::string>{"20240115", "NULL", "20240102030405"}));
    EXPECT_EQ(identityName("valid"), "Schulze");

    std::vector<kt::Row> keys = kt::query(
        "SELECT AswSto, AswBkl, AswSpr, AswKst FROM RURUVURO.QVS301ASW WHERE AswNum = 'blank'");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0], (kt::Row{"0", "0", "DE", "Kostenstelle 1"}));

    // The old rows are gone; one Sto row per AswSto, one link per AswNum/AswSto/AswCod.
    EXPECT_EQ(kt::query("SELECT StoNum, StoSta, StoErf FROM RURUVURO.QVS113STO ORDER BY StoNum"),
              (std::vector<kt::Row>{{"0", "1", "ZiDidaze"}, {"7", "1", "ZiDidaze"}}));
    EXPECT_EQ(kt::query("SELECT AwvNum, AwvSto, AwvCod, AwvSta, AwvErf, AwvDat IS NOT NULL "
                        "FROM RURUVURO.QVS113AWV ORDER BY AwvNum"),
              (std::vector<kt::Row>{{"blank", "0", "C1", "1", "ZiDidaze", "1"},
                                    {"old1899", "7", "C1", "1", "ZiDidaze", "1"},
                                    {"valid", "7", "C1", "1", "ZiDidaze", "1"},
                                    {"zeros", "7", "C1", "1", "ZiDidaze", "1"}}));
}

// KELVORA_MAX_FAILED makes the run all or nothing: a clearing delete that
// fails commits nothing, even though the deletes after it work. The three
// tables are as before the run; the abort line follows the count line.
TEST(IdentityMaster, AllOrNothingRunWhoseClearingFailsCommitsNothing) {
    kt::resetSchema();
    seedIdentityTables();
    kt::exec("CREATE TRIGGER keep_identities BEFORE DELETE ON QVS301ASW FOR EACH ROW "
             "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'kept'");
    const char* const tables = "SELECT (SELECT GROUP_CONCAT(AswNum) FROM QVS301ASW), "
                               "(SELECT GROUP_CONCAT(AwvNum) FROM QVS113AWV), "
                               "(SELECT GROUP_CONCAT(StoNum) FROM QVS113STO)";
    const std::vector<kt::Row> before = kt::query(tables);
    Identity first;
    Identity second;
    second.num = "1002";
    kt::Sandbox box;
    box.writeFile("idn.txt", first.line() + second.line());
    kt::RunResult run =
        box.run({"KELVORA_MAX_FAILED=0", "KELVORA_REPORT=" + box.path("report.json")}, {"idn.txt", "IDN"});
    EXPECT_EQ(run.out, identityCount(2) + "Transaktion abgebrochen, Fehler: 1644\n");
    EXPECT_EQ(run.status, 1644 & 0xFF);
    EXPECT_EQ(kt::query(tables), before);
    EXPECT_EQ(before, (std::vector<kt::Row>{{"old", "old", "oldsto"}}));
    const std::string report = box.readFile("report.json");
    EXPECT_NE(report.find("\"ending\": \"opening statement failed\""), std::string::npos) << report;
}

TEST(IdentityMaster, ApostrophesAndBackslashesAreStoredAsTheyStand) {
    kt::resetSchema();
    Identity one;
    one.num = "O'Brien";
    one.nam = "O'Brien";
    Identity several;
    several.num = "several";
    several.sto = "S'1";
    several.cod = "'C'";
    several.nam = "D'Art'a''gnan \\ Back\\slash";
    Identity full;              // every character of the 50-wide name an apostrophe or backslash
    full.num = std::string(50, '\'');
    full.nam = std::string(25, '\'') + std::string(25, '\\');
    full.aan = std::string(50, '\'');
    full.kst = std::string(30, '\\');

    kt::Sandbox box;
    box.writeFile("idn.txt", one.line() + several.line() + full.line() + full.line());
    kt::RunResult run = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(run.out, identityCount(4));
    EXPECT_EQ(run.status, 0);

    EXPECT_EQ(identityName("O''Brien"), "O'Brien");
    EXPECT_EQ(identityName("several"), several.nam);
    std::vector<kt::Row> rows = kt::query(
        "SELECT AswNam, AswSpr, AswAan, AswKst FROM RURUVURO.QVS301ASW WHERE AswNum = REPEAT('''', 50)");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (kt::Row{full.nam, "DE", full.aan, full.kst}));
    EXPECT_EQ(kt::countRows("QVS301ASW"), 3);
    EXPECT_EQ(kt::query("SELECT AwvSto, AwvCod FROM RURUVURO.QVS113AWV WHERE AwvNum = 'several'"),
              (std::vector<kt::Row>{{"S'1", "'C'"}}));
}

TEST(IdentityMaster, FailedRecordsArePrintedOnlyInDebugMode) {
    kt::resetSchema();
    Identity bad;               // a date the server refuses; the rules keep it, being after 1900
    bad.num = "bad";
    bad.gvo = "20241399";
    Identity good;
    const std::string file = bad.line() + good.line() + bad.line();

    kt::Sandbox box;
    box.writeFile("idn.txt", file);
    kt::RunResult quiet = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(quiet.out, identityCount(1));
    EXPECT_NE(quiet.status, 0);   // the last record failed

    constexpr int ErrorIncorrectValue = 1292;
    const std::string failure = "  IDstamm: Insert-Fehler: " + std::to_string(ErrorIncorrectValue) + "\n";
    box.writeFile("idn.txt", file);
    kt::RunResult debug = box.run({"idn.txt", "IDN", "/D"});
    EXPECT_EQ(debug.out, bad.line() + "\n" + failure + good.line() + "\n" + bad.line() + "\n" + failure +
                             identityCount(1) + "\n");
    EXPECT_EQ(debug.status, ErrorIncorrectValue & 0xFF);
    EXPECT_EQ(quiet.status, debug.status);
    EXPECT_EQ(kt::countRows("QVS301ASW"), 1);
}

TEST(IdentityMaster, OtherDatabaseSystemKeepsRowsAndDates) {
    kt::resetSchema();
    seedIdentityTables();
    Identity early;             // no rule: 1899 and the zero dates reach the server as they are
    early.num = "early";
    early.gvo = "18991231";
    early.gbi = "00000000";
    early.dat = "00000000000000";
    early.sto = "";
    Identity blankStart;        // no server date: NULL for a NOT NULL key column
    blankStart.num = "blankStart";
    blankStart.gvo = "";

    kt::Sandbox box;
    box.writeSettings(kt::TestLogin, kt::TestPassword, "ORACLE", "localhost");
    box.writeFile("idn.txt", early.line() + blankStart.line());
    kt::RunResult run = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(run.out, identityCount(1));
    constexpr int ErrorBadNull = 1048;
    EXPECT_EQ(run.status, ErrorBadNull & 0xFF);

    EXPECT_EQ(kt::countRows("QVS301ASW"), 2);
    EXPECT_EQ(kt::countRows("QVS113STO"), 3);
    EXPECT_EQ(kt::countRows("QVS113AWV"), 3);
    EXPECT_EQ(identityDates("early"), (std::vector<std::string>{"18991231", "00000000", "00000000000000"}));
    EXPECT_EQ(kt::query("SELECT AswSto FROM RURUVURO.QVS301ASW WHERE AswNum = 'early'"),
              (std::vector<kt::Row>{{"0"}}));
}

TEST(IdentityMaster, LowerCaseMysqlSelectsMySqlMode) {
    kt::resetSchema();
    seedIdentityTables();
    kt::Sandbox box;
    box.writeSettings(kt::TestLogin, kt::TestPassword, "mysql", "localhost");
    box.writeFile("idn.txt", "");
    kt::RunResult empty = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(empty.out, identityCount(0));
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(kt::countRows("QVS301ASW") + kt::countRows("QVS113STO") + kt::countRows("QVS113AWV"), 0);

    Identity blankStart;
    blankStart.gvo = "";
    box.writeFile("idn.txt", blankStart.line());
    kt::RunResult run = box.run({"idn.txt", "IDN"});
    EXPECT_EQ(run.out, identityCount(1));
    EXPECT_EQ(identityDates("1001").at(0), serverDate());
}

// ------------------------------------------------------------ SLD

// One balance record: 4 key fields, W01 (8 wide), W02..W16 (10), F01..F10
// (20), and TswAmp in the long form only.
struct Balance {
    std::vector<std::string> value;

    explicit Balance(const std::string& idn) {
        value.push_back(idn);
        value.push_back("ST" + idn.substr(0, 4));
        value.push_back("LZ");
        value.push_back("MN");
        value.push_back("W01-8chr");
        for (int n = 2; n <= 16; ++n) value.push_back("W" + std::to_string(n) + "-tenchr");
        for (int n = 1; n <= 10; ++n) value.push_back("F" + std::to_string(n) + "_twenty_characters");
        value.push_back("AMP" + idn.substr(0, 2));
        for (size_t i = 0; i < value.size(); ++i) value[i] = value[i].substr(0, width(i));
    }

    static int width(size_t index) {
        static const int keyWidths[] = {50, 8, 5, 5, 8};
        if (index < 5) return keyWidths[index];
        return index < 20 ? 10 : index < 30 ? 20 : 5;
    }

    std::string shortLine() const { return fields(30) + "\n"; }
    std::string longLine() const { return fields(31) + "\n"; }

    // The stored values a short-form record leaves: TswAmp NULL.
    kt::Row storedShort() const {
        kt::Row row(value.begin(), value.begin() + 30);
        row.push_back(std::nullopt);
        return row;
    }
    kt::Row storedLong() const { return kt::Row(value.begin(), value.end()); }

private:
    std::string fields(size_t count) const {
        std::string line;
        for (size_t i = 0; i < count; ++i) line += kt::field(value[i], width(i));
        return line;
    }
};

std::string balanceCount(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in O2002TSW eingefuegt\n";
}

const char* const WrongLength = "Datensatz mit falscher Satzlaenge!!";

std::vector<kt::Row> balances() {
    return kt::query(
        "SELECT TswIdn, TswSto, Tswliz, TswMnd, TswW01, TswW02, TswW03, TswW04, TswW05, TswW06, "
        "TswW07, TswW08, TswW09, TswW10, TswW11, TswW12, TswW13, TswW14, TswW15, TswW16, TswF01, "
        "TswF02, TswF03, TswF04, TswF05, TswF06, TswF07, TswF08, TswF09, TswF10, TswAmp "
        "FROM RURUVURO.O2002TSW ORDER BY TswIdn");
}

TEST(Balances, ShortFormReplacesTheTable) {
    kt::resetSchema();
    kt::exec("INSERT INTO RURUVURO.O2002TSW (TswIdn) VALUES ('old')");
    Balance first("A'1\\x y");
    Balance second("B2");
    second.value[5] = "";                       // a blank value stays empty
    kt::Sandbox box;
    box.writeFile("sld.txt", first.shortLine() + second.shortLine());
    kt::RunResult run = box.run({"sld.txt", "SLD"});
    EXPECT_EQ(run.out, balanceCount(2));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(balances(), (std::vector<kt::Row>{first.storedShort(), second.storedShort()}));

    // A blank first line is one character long: short form, and then skipped.
    box.writeFile("sld.txt", "\n" + second.shortLine() + first.shortLine());
    kt::RunResult blankFirst = box.run({"sld.txt", "SLD"});
    EXPECT_EQ(blankFirst.out, balanceCount(2));
    EXPECT_EQ(balances(), (std::vector<kt::Row>{first.storedShort(), second.storedShort()}));
}

TEST(Balances, LongFormStoresTswAmpAndRejectsShortRecords) {
    kt::resetSchema();
    Balance first("L1");
    Balance shortOne("S1");
    Balance second("L2");
    kt::Sandbox box;
    box.writeFile("sld.txt", first.longLine() + shortOne.shortLine() + second.longLine());
    kt::RunResult run = box.run({"sld.txt", "SLD"});
    EXPECT_EQ(run.out, std::string(WrongLength) + balanceCount(2));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(balances(), (std::vector<kt::Row>{first.storedLong(), second.storedLong()}));
}

TEST(Balances, TableWithoutTswAmpTakesLongRecordsWithoutIt) {
    kt::resetSchema();
    kt::exec("ALTER TABLE RURUVURO.O2002TSW DROP COLUMN TswAmp");
    std::vector<Balance> records = {Balance("K1"), Balance("K2"), Balance("K3")};
    std::string file;
    for (const Balance& record : records) file += record.longLine();
    kt::Sandbox box;
    box.writeFile("sld.txt", file);
    kt::RunResult run = box.run({"sld.txt", "SLD"});
    EXPECT_EQ(run.out, balanceCount(3));
    EXPECT_EQ(run.status, 0);
    std::vector<kt::Row> rows = kt::query(
        "SELECT TswIdn, TswW01, TswW02, TswF10 FROM RURUVURO.O2002TSW ORDER BY TswIdn");
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string>& v = records[i].value;
        EXPECT_EQ(rows[i], (kt::Row{v[0], v[4], v[5], v[29]}));
    }
}

// After a short first line the file is read in the short form: a long
// record is then one line too long, and is rejected whole.
TEST(Balances, LongRecordAfterShortFirstLineIsRejectedWhole) {
    kt::resetSchema();
    Balance first("F1");
    Balance longOne("G1");
    kt::Sandbox box;
    box.writeFile("sld.txt", first.shortLine() + longOne.longLine());
    kt::RunResult run = box.run({"sld.txt", "SLD"});
    EXPECT_EQ(run.out, std::string(WrongLength) + balanceCount(1));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(balances(), (std::vector<kt::Row>{first.storedShort()}));
}

TEST(Balances, FailedInsertsArePrintedWithoutDebugMode) {
    kt::resetSchema();
    kt::exec("DROP TABLE RURUVURO.O2002TSW");
    kt::Sandbox box;
    box.writeFile("sld.txt", Balance("X1").longLine() + Balance("X2").longLine());
    kt::RunResult run = box.run({"sld.txt", "SLD"});
    constexpr int ErrorNoSuchTable = 1146;
    const std::string failure = "  Saldowerte: Insert-Fehler: " + std::to_string(ErrorNoSuchTable) + "\n";
    EXPECT_EQ(run.out, failure + failure + balanceCount(0));
    EXPECT_EQ(run.status, ErrorNoSuchTable & 0xFF);
}

}  // namespace
