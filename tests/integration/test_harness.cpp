// Checks of the test infrastructure itself: the schema the fixture server
// holds, the reset between tests, the administrative connection and the
// process runner. The importer is not run here.
#include <gtest/gtest.h>
#include <mysql.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::vector<std::string> AllTables = {
    "MGSST20P", "MGSST35P", "QVS401ZLS", "MGSST41P", "MGSSTFTG",
    "MGSSTMST", "MGSSTMDT", "MGSSTFCD", "QVS112QVD", "QVS301ASW",
    "QVS113STO", "QVS113AWV", "O2002TSW", "QVS120KID", "QVS301AWB"};

// One row per table, naming only the columns the importer's statements fill,
// so an insert also proves the columns exist under these names.
struct SampleInsert {
    std::string table;
    std::string sql;
    bool keyed;
};

const std::vector<SampleInsert> SampleInserts = {
    {"MGSST20P",
     "INSERT INTO Ruruvuro.MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb, M20Dat)"
     " VALUES ('T1', '01', 'A', '12345', '0001', '0002', SYSDATE())", true},
    {"MGSST35P",
     "INSERT INTO Ruruvuro.MGSST35P (M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl, M35Zko,"
     " M35Zzo, M35Bch, M35Dat) VALUES ('T1', '001', 'BKL01', '01', '02', '003', 'Z1', 'Z2', 'B',"
     " SYSDATE())", true},
    {"QVS401ZLS", "INSERT INTO RURUVURO.QVS401ZLS (ZLSTRM, ZLSLES, ZLSZKO) VALUES ('T1', '01', 'Z')",
     true},
    {"MGSST41P",
     "INSERT INTO Ruruvuro.MGSST41P (M41Trm, M41Fir, M41Zpl, M41Wnr, M41Zzo, M41Tnr, M41Von,"
     " M41Bis, M41Dat) VALUES ('T1', '001', '002', '03', '12345', '1', '0800', '1600', SYSDATE())",
     true},
    {"MGSSTFTG",
     "INSERT INTO RURUVURO.MGSSTFTG (FTGTrm, FTGLiz, FTGMnd, FTGJhr, FTGDtm, FTGTxt, FTGKrt,"
     " FTGDat) VALUES ('T1', '1', '2', '2024', '20241225', 'Weihnachten', 'K', SYSDATE())", false},
    {"MGSSTMST",
     "INSERT INTO RURUVURO.MGSSTMST (MSTLiz, MSTMnd, MSTAsw, MSTSts, MSTVbi, MSTAbe, MSTSbe,"
     " MSTKrt, MSTKst, MSTVon, MSTAbt, MSTDat) VALUES ('1', '2', 'A1', 'S', 'V', 'AB', 'SB', 'K',"
     " 'KST', '20240101', 'Abteilung', SYSDATE())", false},
    {"MGSSTMDT",
     "INSERT INTO RURUVURO.MGSSTMDT (MDTLiz, MDTMnd, MDTAsw, MDTDtm, MDTAbe, MDTSbe, MDTSts,"
     " MDTKrt, MDTDat) VALUES ('1', '2', 'A1', '01.01.2024', 'AB', 'SB', 'S', 'K', SYSDATE())",
     false},
    {"MGSSTFCD",
     "INSERT INTO RURUVURO.MGSSTFCD (FCDLiz, FCDMnd, FCDNum, FCDKrt, FCDTxt, FCDDat)"
     " VALUES ('1', '2', ' 7', 'K', 'Text', SYSDATE())", false},
    {"QVS112QVD",
     "INSERT INTO RURUVURO.QVS112QVD (QVDLIZ, QVDNUM, QVDNAM, QVDSTA, QVDDAT, QVDERF)"
     " VALUES ('1', '2', 'Name', NULLIF('',''),"
     " date_format(NULLIF('20240131235959',''), '%Y%m%d%H%i%s'), 'ERF')", true},
    {"QVS301ASW",
     "INSERT INTO RURUVURO.QVS301ASW (AswNum, AswSto, AswGvo, AswGbi, AswPnr, AswNam, AswSpr,"
     " AswBkl, AswPin, AswCod, AswGrp, AswLiz, AswMnd, AswAtp, AswAan, AswMta, AswSal, AswBk2,"
     " AswSta, AswDat, AswErf, AswMap, AswKst) VALUES ('N1', '0',"
     " DATE_FORMAT(NULLIF('20240131', ''), '%Y%m%d'), DATE_FORMAT(NULLIF('', ''), '%Y%m%d'),"
     " 'P', 'O''Neil', 'D', '0', 'PIN', 'C', 'G', 'L', 'M', 'AT', 'AAN', 'MT', 'SAL', 'B2', 'ST',"
     " DATE_FORMAT(NULLIF('20240131120000', ''), '%Y%m%d%H%i%s'), 'ERF', 'M', 'KST')", true},
    {"QVS113STO",
     "INSERT INTO RURUVURO.QVS113STO (StoNum, StoSta, StoErf) VALUES ('0', '1', 'ZiDidaze')",
     true},
    {"QVS113AWV",
     "INSERT INTO RURUVURO.QVS113AWV (AwvNum, AwvSto, AwvCod, AwvSta, AwvDat, AwvErf)"
     " VALUES ('N1', '0', 'C', '1', NOW(), 'ZiDidaze')", true},
    {"O2002TSW",
     "INSERT INTO RURUVURO.O2002TSW (TswIdn, TswSto, Tswliz, TswMnd, TswW01, TswW02, TswW16,"
     " TswF01, TswF10, TswAmp) VALUES ('I', 'S', 'L', 'M', '12345678', '1234567890',"
     " '1234567890', '12345678901234567890', 'F', 'AMP')", false},
    {"QVS120KID",
     "INSERT INTO RURUVURO.QVS120KID (KidKst, KidMnd, KidLiz, KidNum, KidSys, KidTxt, KidSta,"
     " KidErf) VALUES ('K1', '2', '1', NULL, 'SYS', 'Text', 1, 'ERF')", true},
    {"QVS301AWB",
     "INSERT INTO RURUVURO.QVS301AWB (AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta, AwbDat)"
     " VALUES ('A1', 'B', 'L', 00012, 3, 1, CURRENT_TIMESTAMP)", true},
};

constexpr int ErrorDuplicateKey = 1062;

class HarnessTest : public ::testing::Test {
protected:
    void SetUp() override { kt::resetSchema(); }
};

// Every table exists and starts empty; the reset also undoes rows and a
// changed table definition left by an earlier test.
TEST_F(HarnessTest, ResetSchemaLeavesEveryTableEmptyAndWhole) {
    for (const SampleInsert& sample : SampleInserts) kt::exec(sample.sql);
    kt::exec("ALTER TABLE RURUVURO.O2002TSW DROP COLUMN TswAmp");
    kt::exec("DROP TABLE RURUVURO.QVS120KID");

    kt::resetSchema();

    for (const std::string& table : AllTables) {
        EXPECT_EQ(kt::countRows(table), 0) << table;
    }
    EXPECT_EQ(kt::query("SELECT TswAmp FROM RURUVURO.O2002TSW").size(), 0u);
    EXPECT_EQ(kt::query("SELECT table_name FROM information_schema.tables"
                        " WHERE table_schema = 'ruruvuro'").size(),
              AllTables.size());
}

// Keyed tables reject a second row with the same key with 1062, as the
// update-else-insert writers rely on; tables replaced whole take it.
TEST_F(HarnessTest, DuplicateInsertFailsWithDuplicateKeyOnKeyedTablesOnly) {
    for (const SampleInsert& sample : SampleInserts) {
        ASSERT_EQ(kt::tryExec(sample.sql), 0) << sample.table;
        int second = kt::tryExec(sample.sql);
        if (sample.keyed) {
            EXPECT_EQ(second, ErrorDuplicateKey) << sample.table;
            EXPECT_EQ(kt::countRows(sample.table), 1) << sample.table;
        } else {
            EXPECT_EQ(second, 0) << sample.table;
            EXPECT_EQ(kt::countRows(sample.table), 2) << sample.table;
        }
    }
}

// The values the statements hand the server come back as the tests expect
// them: blanks kept, latin1 bytes unchanged, dates parsed by date_format.
TEST_F(HarnessTest, StoredValuesKeepBlanksBytesAndServerDates) {
    kt::exec("INSERT INTO Ruruvuro.MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb,"
             " M20Dat) VALUES ('T\xE4', '', '', '     ', '    ', ' 1  ', SYSDATE())");
    std::vector<kt::Row> rows = kt::query(
        "SELECT M20Trm, HEX(M20Trm), M20Zz2, LENGTH(M20Ofv), M20Ofb, M20Dat IS NOT NULL"
        " FROM RURUVURO.MGSST20P");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::string("T\xE4"));
    EXPECT_EQ(rows[0][1], std::string("54E4"));
    EXPECT_EQ(rows[0][2], std::string("     "));
    EXPECT_EQ(rows[0][3], std::string("4"));
    EXPECT_EQ(rows[0][4], std::string(" 1  "));
    EXPECT_EQ(rows[0][5], std::string("1"));

    for (const SampleInsert& sample : SampleInserts) kt::exec(sample.sql);
    rows = kt::query("SELECT QVDSTA, QVDDAT FROM RURUVURO.QVS112QVD");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0][0].has_value());
    EXPECT_EQ(rows[0][1], std::string("2024-01-31 23:59:59"));
    rows = kt::query("SELECT AswGvo, AswGbi, AswDat, AswNam FROM RURUVURO.QVS301ASW");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::string("2024-01-31"));
    EXPECT_FALSE(rows[0][1].has_value());
    EXPECT_EQ(rows[0][2], std::string("2024-01-31 12:00:00"));
    EXPECT_EQ(rows[0][3], std::string("O'Neil"));
    // The insert writes AwbMnd as a number: the server stores its digits.
    rows = kt::query("SELECT AwbMnd, AwbZuv FROM RURUVURO.QVS301AWB");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::string("12"));
    EXPECT_EQ(rows[0][1], std::string("3"));
}

// The statements spell the schema three ways and the tables in upper case.
TEST_F(HarnessTest, SchemaAndTableNamesResolveInAnyCase) {
    kt::exec(SampleInserts[0].sql);
    for (const char* name : {"RURUVURO.MGSST20P", "Ruruvuro.MGSST20P", "RuRuvuro.mgsst20p",
                             "ruruvuro.Mgsst20p"}) {
        EXPECT_EQ(kt::countRows(name), 1) << name;
    }
    EXPECT_EQ(kt::countRows("mgsst20p"), 1);
}

// The program's login reaches the schema after a reset and may change
// table definitions, which fault tests do.
TEST_F(HarnessTest, TestLoginKeepsItsGrantAcrossResets) {
    kt::resetSchema();
    MYSQL* connection = mysql_init(nullptr);
    ASSERT_NE(connection, nullptr);
    std::string socket = kt::testdbDir() + "/mysqld.sock";
    ASSERT_NE(mysql_real_connect(connection, "localhost", kt::TestLogin, kt::TestPassword,
                                 "RURUVURO", 0, socket.c_str(), 0),
              nullptr)
        << mysql_error(connection);
    EXPECT_EQ(mysql_query(connection, SampleInserts[0].sql.c_str()), 0) << mysql_error(connection);
    EXPECT_EQ(mysql_query(connection, "ALTER TABLE RURUVURO.O2002TSW DROP COLUMN TswAmp"), 0)
        << mysql_error(connection);
    mysql_close(connection);
    EXPECT_EQ(kt::countRows("MGSST20P"), 1);

    MYSQL* wrong = mysql_init(nullptr);
    ASSERT_NE(wrong, nullptr);
    EXPECT_EQ(mysql_real_connect(wrong, "localhost", kt::TestLogin, "not-the-password",
                                 "RURUVURO", 0, socket.c_str(), 0),
              nullptr);
    EXPECT_EQ(mysql_errno(wrong), 1045u);
    mysql_close(wrong);

    // The client library puts the process's login name in place of an empty
    // user name; the server must still refuse it, whoever runs the tests.
    MYSQL* anonymous = mysql_init(nullptr);
    ASSERT_NE(anonymous, nullptr);
    EXPECT_EQ(mysql_real_connect(anonymous, "", "", "", "", 0, socket.c_str(), 0), nullptr);
    EXPECT_EQ(mysql_errno(anonymous), 1045u);
    mysql_close(anonymous);
}

// The runner hands back every byte of standard output and the exit status,
// and runs the program in the directory it was given.
TEST(HarnessProcess, RunnerCapturesBytesStatusAndWorkDir) {
    kt::RunResult result =
        kt::runProgram("/bin/sh", {"-c", "pwd; printf 'a\\000\\344\\r\\n'; exit 3"}, "/tmp");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, std::string("/tmp\na\0\xE4\r\n", 10));

    result = kt::runProgram("/bin/sh", {"-c", "kill -9 $$"}, "/");
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(kt::shell("exit 255"), 255);
}

// The sandbox lays out the tree the program expects, with the settings two
// levels above the work directory, and removes it again.
TEST(HarnessProcess, SandboxHoldsSettingsAndFilesAndCleansUp) {
    std::string root;
    {
        kt::Sandbox sandbox;
        root = sandbox.root();
        EXPECT_EQ(kt::shell("test -d '" + root + "/Files'"), 0);
        EXPECT_EQ(sandbox.workDir(), root + "/in/work");
        EXPECT_TRUE(sandbox.exists("../../Files/Corvantis.Ini"));
        EXPECT_FALSE(sandbox.readFile("../../Files/Corvantis.Ini").empty());

        sandbox.writeFile("data.txt", std::string("x\0\xD6\r\n", 5));
        EXPECT_EQ(sandbox.readFile("data.txt"), std::string("x\0\xD6\r\n", 5));
        EXPECT_FALSE(sandbox.exists("missing.txt"));
    }
    EXPECT_NE(kt::shell("test -e '" + root + "'"), 0);
}

}  // namespace
