// The members that replace a table's whole contents on every run: the client
// master MND and the interface tables FTG, MST, MDT and FCD. Each case below
// gives one member's record layout, three records and the rows they must
// become, written out by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Rows = std::vector<kt::Row>;
using Values = std::vector<std::string>;

struct ReplaceCase {
    const char* name;
    const char* typeCode;
    const char* table;
    const char* columns;          // the data columns, in record order
    const char* orderBy;          // a column whose values differ in the three records
    const char* dateColumn;       // filled by the server at the insert, or null
    const char* staleRow;         // an INSERT of a row that a run has to remove
    const char* uniqueKey;        // column made unique to provoke 1062, or null (key exists)
    const char* failureMessage;   // with %d
    const char* countMessage;     // with %d
    std::vector<int> widths;
    std::vector<Values> records;  // three records
    Rows expected;                // the rows of the three records, ordered by orderBy
    Values duplicate;             // a record with the unique key of the first record
};

std::string recordLine(const ReplaceCase& c, const Values& values) {
    std::string line;
    for (size_t i = 0; i < c.widths.size(); ++i) line += kt::field(values[i], c.widths[i]);
    return line + "\n";
}

std::string fileOf(const ReplaceCase& c, const std::vector<Values>& records) {
    std::string file;
    for (const Values& values : records) file += recordLine(c, values);
    return file;
}

std::string message(const char* format, int value) {
    char text[120];
    snprintf(text, sizeof text, format, value);
    return text;
}

Rows storedRows(const ReplaceCase& c) {
    return kt::query(std::string("SELECT ") + c.columns + " FROM " + c.table + " ORDER BY " + c.orderBy);
}

kt::RunResult runImport(const ReplaceCase& c, const std::string& file, const std::string& mode) {
    kt::Sandbox box;
    box.writeFile("data.txt", file);
    std::vector<std::string> args = {"data.txt", c.typeCode};
    if (!mode.empty()) args.push_back(mode);
    return box.run(args);
}

const std::string Blank255(255, ' ');
const std::string Trm255 = std::string(254, 't') + "9";
const std::string Chars50 = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
const std::string Chars33 = "123456789012345678901234567890123";

const std::vector<ReplaceCase> Cases = {
    {"FTG", "FTG", "MGSSTFTG", "FTGTrm, FTGLiz, FTGMnd, FTGJhr, FTGDtm, FTGTxt, FTGKrt", "FTGLiz", "FTGDat",
     "INSERT INTO MGSSTFTG (FTGLiz) VALUES ('OLD')", "FTGLiz",
     "  Feiertag: Insert-Fehler: %d\n", "\n%d Datensaetze in MGSSTFTG eingefuegt\n",
     {255, 5, 5, 4, 8, 20, 1},
     {{"  TRM-01", "00001", "  7", "2026", "20261225", "Weihnachten", "1"},
      {Trm255, "00002", "ab", "", "2026 01", "O'Neil \\ K\xE4se \xD6l", ""},
      {"", "00003", "", "2027", "20270101", "12345678901234567890", "K"}},
     {{"  TRM-01", "00001", "  7", "2026", "20261225", "Weihnachten", "1"},
      {Trm255, "00002", "ab", "", "2026 01", "O'Neil \\ K\xE4se \xD6l", ""},
      {"", "00003", "", "2027", "20270101", "12345678901234567890", "K"}},
     {"DUP", "00001", "x", "1999", "19990101", "doppelt", "D"}},

    {"MST", "MST", "MGSSTMST",
     "MSTLiz, MSTMnd, MSTAsw, MSTSts, MSTVbi, MSTAbe, MSTSbe, MSTKrt, MSTKst, MSTVon, MSTAbt", "MSTLiz", "MSTDat",
     "INSERT INTO MGSSTMST (MSTLiz) VALUES ('OLD')", "MSTLiz",
     "  MitarbeiterStatus: Insert-Fehler: %d\n", "\n%d Datensaetze in MGSSTMST eingefuegt\n",
     {5, 5, 13, 1, 23, 33, 33, 1, 50, 8, 30},
     {{"00001", "  001", "ASW0000000001", "A", "2026-01-01 bis 2026-12", "Abend \xD6" "ffnung",
       "Sbe 'x' \\y", "K", "KST 4711", "20260101", "Abteilung Nord"},
      {"00002", "", "  ASW", "", "", "", "", "", "", "", ""},
      {"00003", "M3", "A3", "S", "V3", "Abe3", "Sbe3", "", Chars50, "12345678", Chars50.substr(0, 30)}},
     {{"00001", "  001", "ASW0000000001", "A", "2026-01-01 bis 2026-12", "Abend \xD6" "ffnung",
       "Sbe 'x' \\y", "K", "KST 4711", "20260101", "Abteilung Nord"},
      {"00002", "", "  ASW", "", "", "", "", "", "", "", ""},
      {"00003", "M3", "A3", "S", "V3", "Abe3", "Sbe3", "", Chars50, "12345678", "abcdefghijklmnopqrstuvwxyzABCD"}},
     {"00001", "D", "DUP", "D", "D", "D", "D", "D", "D", "19990101", "doppelt"}},

    {"MDT", "MDT", "MGSSTMDT", "MDTLiz, MDTMnd, MDTAsw, MDTDtm, MDTAbe, MDTSbe, MDTSts, MDTKrt", "MDTLiz", "MDTDat",
     "INSERT INTO MGSSTMDT (MDTLiz) VALUES ('OLD')", "MDTLiz",
     "  MitarbeiterDetail: Insert-Fehler: %d\n", "\n%d Datensaetze in MGSSTMDT eingefuegt\n",
     {5, 5, 13, 10, 33, 33, 1, 1},
     {{"00001", "00010", "ASW1", "2026-03-01", "Fr\xE4ulein O'Hara", "Back\\slash \xD6sterreich", "A", "B"},
      {"00002", " 20", "", "", "   ", "", "", "K"},
      {"00003", "", "1234567890123", "1234567890", Chars33, Chars33, "S", ""}},
     {{"00001", "00010", "ASW1", "2026-03-01", "Fr\xE4ulein O'Hara", "Back\\slash \xD6sterreich", "A", "B"},
      {"00002", " 20", "", "", "", "", "", "K"},
      {"00003", "", "1234567890123", "1234567890", Chars33, Chars33, "S", ""}},
     {"00001", "D", "DUP", "1999-01-01", "doppelt", "doppelt", "D", "D"}},

    {"FCD", "FCD", "MGSSTFCD", "FCDLiz, FCDMnd, FCDNum, FCDKrt, FCDTxt", "FCDLiz", "FCDDat",
     "INSERT INTO MGSSTFCD (FCDLiz) VALUES ('OLD')", "FCDLiz",
     "  Funktionscodes: Insert-Fehler: %d\n", "\n%d Datensaetze in MGSSTFCD eingefuegt\n",
     {5, 5, 3, 1, 50},
     {{"00001", "00002", " 5 ", "A", "Funktion 'F1' \\ Gr\xF6\xDF" "e \xE4\xD6"},
      {"00002", "", "123", "", ""},
      {"00003", "  9", "  1", "Z", Chars50}},
     {{"00001", "00002", " 5", "A", "Funktion 'F1' \\ Gr\xF6\xDF" "e \xE4\xD6"},
      {"00002", "", "123", "", ""},
      {"00003", "  9", "  1", "Z", Chars50}},
     {"00001", "D", "999", "D", "doppelt"}},

    // A blank QVDSTA or QVDDAT becomes NULL; QVDDAT is read as YYYYMMDDHHMMSS.
    {"MND", "MND", "QVS112QVD", "QVDLIZ, QVDNUM, QVDNAM, QVDSTA, QVDDAT, QVDERF", "QVDNUM", nullptr,
     "INSERT INTO QVS112QVD (QVDLIZ, QVDNUM, QVDNAM) VALUES ('OLD', 'OLD', 'alt')", nullptr,
     "  Mandantenstamm: Insert-Fehler: %d\n", "\n%d Datensaetze in Qvs112Mnd eingefuegt\n",
     {5, 5, 50, 5, 14, 50},
     {{"00001", "00001", "M\xFCller O'Brien \\ \xC4\xD6", "A", "20261207153000", "  Erfasser"},
      {"00001", "00002", "", "", "", "admin"},
      {"", "00003", Chars50, "  ST", "19991231235959", ""}},
     {{"00001", "00001", "M\xFCller O'Brien \\ \xC4\xD6", "A", "2026-12-07 15:30:00", "  Erfasser"},
      {"00001", "00002", "", std::nullopt, std::nullopt, "admin"},
      {"", "00003", Chars50, "  ST", "1999-12-31 23:59:59", ""}},
     {"00001", "00001", "Doppelt", "X", "20000101000000", "dup"}},
};

class ReplaceMember : public ::testing::TestWithParam<ReplaceCase> {};

}  // namespace

// Both modes: the old contents go, every record lands with every column as
// the record gives it, right-trimmed only, and the server dates the row.
TEST_P(ReplaceMember, ReplacesTheTableWithTheRecordsInBothModes) {
    const ReplaceCase& c = GetParam();
    for (const std::string mode : {"", "UPD"}) {
        SCOPED_TRACE("mode '" + mode + "'");
        kt::resetSchema();
        kt::exec(c.staleRow);
        kt::RunResult run = runImport(c, fileOf(c, c.records), mode);
        EXPECT_EQ(run.out, message(c.countMessage, 3));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(storedRows(c), c.expected);
        if (c.dateColumn != nullptr) {
            std::string dated = std::string("SELECT COUNT(*) FROM ") + c.table + " WHERE " + c.dateColumn +
                                " BETWEEN NOW() - INTERVAL 10 MINUTE AND NOW()";
            EXPECT_EQ(kt::query(dated), (Rows{{"3"}}));
        }
    }
}

TEST_P(ReplaceMember, AnEmptyFileEmptiesTheTableInBothModes) {
    const ReplaceCase& c = GetParam();
    for (const std::string mode : {"", "UPD"}) {
        SCOPED_TRACE("mode '" + mode + "'");
        kt::resetSchema();
        kt::exec(c.staleRow);
        kt::RunResult run = runImport(c, "", mode);
        EXPECT_EQ(run.out, message(c.countMessage, 0));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(kt::countRows(c.table), 0);
    }
}

// A record the server refuses is reported and not counted; the import goes
// on, and a later record that succeeds leaves the result at 0.
TEST_P(ReplaceMember, ADuplicateKeyIsReportedAndNotCounted) {
    const ReplaceCase& c = GetParam();
    kt::resetSchema();
    if (c.uniqueKey != nullptr) {
        kt::exec(std::string("ALTER TABLE ") + c.table + " ADD UNIQUE KEY (" + c.uniqueKey + ")");
    }
    kt::RunResult run = runImport(c, fileOf(c, {c.records[0], c.duplicate, c.records[1]}), "");
    EXPECT_EQ(run.out, message(c.failureMessage, 1062) + message(c.countMessage, 2));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(storedRows(c), (Rows{c.expected[0], c.expected[1]}));

    // Failing last: the run ends with the duplicate's error number (1062 & 0xFF).
    run = runImport(c, fileOf(c, {c.records[0], c.duplicate}), "");
    EXPECT_EQ(run.out, message(c.failureMessage, 1062) + message(c.countMessage, 1));
    EXPECT_EQ(run.status, 1062 & 0xFF);
    EXPECT_EQ(storedRows(c), (Rows{c.expected[0]}));
}

// Without its table every statement fails with 1146: the delete silently,
// each insert with the member's message; the run ends with 1146 & 0xFF.
TEST_P(ReplaceMember, AMissingTableFailsEveryRecord) {
    const ReplaceCase& c = GetParam();
    kt::resetSchema();
    kt::exec(std::string("DROP TABLE ") + c.table);
    kt::RunResult run = runImport(c, fileOf(c, {c.records[0], c.records[2]}), "");
    EXPECT_EQ(run.out, message(c.failureMessage, 1146) + message(c.failureMessage, 1146) + message(c.countMessage, 0));
    EXPECT_EQ(run.status, 122);
    kt::resetSchema();
}

INSTANTIATE_TEST_SUITE_P(Members, ReplaceMember, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<ReplaceCase>& info) { return std::string(info.param.name); });
