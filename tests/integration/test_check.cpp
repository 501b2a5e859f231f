// kelvora-check: the plan of a replace, an upsert and a synchronisation is
// what the real run then does to the table, measured here by comparing the
// table with a copy made before; the check itself leaves table and file as
// they were, and prints what the run prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const char* const BeforeCopy = "kelvora_test_before";

struct Counts {
    long before = -1;
    long after = -1;
    long inserted = -1;
    long changed = -1;
    long deleted = -1;
    bool operator==(const Counts& other) const {
        return before == other.before && after == other.after && inserted == other.inserted &&
               changed == other.changed && deleted == other.deleted;
    }
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << c.before << " before, " << c.after << " after; " << c.inserted << " inserted, " << c.changed
               << " changed, " << c.deleted << " deleted";
}

struct PlanCase {
    const char* typeCode;
    const char* option;                  // "" or "UPD"
    const char* table;
    std::vector<const char*> key;        // the primary key's columns
    std::vector<const char*> columns;    // every column
    std::vector<std::string> rows;       // VALUES of the rows there before the run
    std::vector<int> widths;             // of the record's fields
    std::vector<std::vector<std::string>> records;
    Counts scenario;                     // what the file does to the rows, by design
};

std::string fileOf(const PlanCase& c) {
    std::string file;
    for (const auto& record : c.records) {
        for (size_t i = 0; i < c.widths.size(); ++i) file += kt::field(record[i], c.widths[i]);
        file += "\n";
    }
    return file;
}

std::string joined(const std::vector<const char*>& columns, const std::string& form, const char* separator) {
    std::string text;
    for (const char* column : columns) {
        if (!text.empty()) text += separator;
        std::string part = form;
        for (size_t at; (at = part.find('#')) != std::string::npos;) part.replace(at, 1, column);
        text += part;
    }
    return text;
}

long number(const std::string& sql) {
    std::vector<kt::Row> rows = kt::query(sql);
    return rows.size() == 1 && rows[0][0] ? std::stol(*rows[0][0]) : -1;
}

// What turned the copy into the table, by key and byte-exact content, in
// the server's own terms.
Counts measuredChanges(const PlanCase& c) {
    const std::string on = joined(c.key, "t.# = b.#", " AND ");
    const std::string table = c.table;
    const std::string copy = BeforeCopy;
    const std::string firstKey = c.key[0];
    Counts counts;
    counts.before = kt::countRows(copy);
    counts.after = kt::countRows(table);
    counts.inserted = number("SELECT COUNT(*) FROM " + table + " t LEFT JOIN " + copy + " b ON " + on +
                             " WHERE b." + firstKey + " IS NULL");
    counts.deleted = number("SELECT COUNT(*) FROM " + copy + " b LEFT JOIN " + table + " t ON " + on +
                            " WHERE t." + firstKey + " IS NULL");
    counts.changed = number("SELECT COUNT(*) FROM " + table + " t JOIN " + copy + " b ON " + on + " WHERE NOT (" +
                            joined(c.columns, "BINARY t.# <=> BINARY b.#", " AND ") + ")");
    return counts;
}

// The plan line of a table on standard error.
Counts plannedChanges(const std::string& err, const std::string& table, int& status) {
    Counts counts;
    size_t at = err.find("kelvora-check: plan " + table + ": ");
    if (at == std::string::npos) return counts;
    std::string line = err.substr(at, err.find('\n', at) - at);
    std::string format = "kelvora-check: plan " + table +
                         ": %ld rows before, %ld after; %ld inserted, %ld changed, %ld deleted; exit %d";
    sscanf(line.c_str(), format.c_str(), &counts.before, &counts.after, &counts.inserted, &counts.changed,
           &counts.deleted, &status);
    return counts;
}

std::vector<kt::Row> wholeTable(const PlanCase& c) {
    return kt::query(std::string("SELECT * FROM ") + c.table + " ORDER BY " + joined(c.key, "#", ", "));
}

const std::string OldDate = "'2020-01-01 00:00:00'";

std::string kst(const std::string& kst, const std::string& txt, int status) {
    return "('" + kst + "', '01', 'L1', '1', 'S', '" + txt + "', " + std::to_string(status) + ", 'E')";
}

std::string awb(const std::string& aws, int zuv, int status) {
    return "('" + aws + "', 'BK1', 'L1', '1', " + std::to_string(zuv) + ", " + std::to_string(status) + ", " +
           OldDate + ")";
}

std::string m20(const std::string& trm) {
    return "('" + trm + "', '01', 'A', '00001', '0001', '0002', " + OldDate + ")";
}

const std::vector<PlanCase> Cases = {
    // Replace: the two records whose keys are there rewrite their rows (a new
    // M20Dat), three are new, and the row the file lacks goes.
    {"20P", "", "MGSST20P", {"M20Trm", "M20Sch", "M20Tg1", "M20Zz2", "M20Ofv"},
     {"M20Trm", "M20Sch", "M20Tg1", "M20Zz2", "M20Ofv", "M20Ofb", "M20Dat"},
     {m20("T1"), m20("T2"), m20("T3")},
     {255, 2, 1, 5, 4, 4},
     {{"T1", "01", "A", "00001", "0001", "0002"},
      {"T2", "01", "A", "00001", "0001", "0002"},
      {"T4", "01", "A", "00001", "0001", "0002"},
      {"T5", "01", "A", "00001", "0001", "0002"},
      {"T6", "01", "A", "00001", "0001", "0002"}},
     {3, 5, 3, 2, 1}},
    // Upsert without marking: A is updated, D inserted, B left alone, and the
    // rows that already carried status 4 are swept.
    {"BKL", "UPD", "QVS301AWB", {"AwbAws", "AwbBkl", "AwbLiz", "AwbMnd"},
     {"AwbAws", "AwbBkl", "AwbLiz", "AwbMnd", "AwbZuv", "AwbSta", "AwbDat"},
     {awb("A", 1, 1), awb("B", 1, 1), awb("C", 1, 4), awb("E", 1, 4)},
     {50, 5, 5, 5, 1},
     {{"A", "BK1", "L1", "1", "2"}, {"D", "BK1", "L1", "1", "3"}},
     {4, 3, 1, 1, 2}},
    // Synchronisation: A is marked and written back as it was (unchanged), B
    // gets a new text, D and G are new, C, E and F are swept.
    {"KST", "", "QVS120KID", {"KidKst", "KidMnd", "KidLiz"},
     {"KidKst", "KidMnd", "KidLiz", "KidNum", "KidSys", "KidTxt", "KidSta", "KidErf"},
     {kst("A", "same", 1), kst("B", "old", 1), kst("C", "c", 1), kst("E", "e", 1), kst("F", "f", 4)},
     {30, 5, 5, 7, 7, 30, 50},
     {{"A", "01", "L1", "1", "S", "same", "E"},
      {"B", "01", "L1", "1", "S", "new", "E"},
      {"D", "01", "L1", "1", "S", "d", "E"},
      {"G", "01", "L1", "", "S", "g", "E"}},
     {5, 4, 2, 1, 3}},
};

kt::RunResult check(const kt::Sandbox& box, const std::vector<std::string>& args) {
    return kt::runProgram(KELVORA_CHECK_TOOL, args, box.workDir());
}

std::vector<std::string> argumentsOf(const PlanCase& c) {
    std::vector<std::string> args = {"in.txt", c.typeCode};
    if (c.option[0] != '\0') args.push_back(c.option);
    return args;
}

}  // namespace

TEST(Check, PlanIsWhatTheRunThenDoesAndTheCheckChangesNothing) {
    for (const PlanCase& c : Cases) {
        SCOPED_TRACE(std::string(c.typeCode) + " " + c.option);
        kt::resetSchema();
        std::string values;
        for (const std::string& row : c.rows) values += (values.empty() ? "" : ", ") + row;
        kt::exec(std::string("INSERT INTO ") + c.table + " (" + joined(c.columns, "#", ", ") + ") VALUES " + values);
        kt::exec(std::string("CREATE TABLE ") + BeforeCopy + " AS SELECT * FROM " + c.table);
        kt::Sandbox box;
        const std::string file = fileOf(c);
        box.writeFile("in.txt", file);
        const std::vector<kt::Row> rowsBefore = wholeTable(c);

        kt::RunResult checked = check(box, argumentsOf(c));
        EXPECT_EQ(wholeTable(c), rowsBefore) << "the check changed the table";
        EXPECT_EQ(box.readFile("in.txt"), file);
        EXPECT_FALSE(box.exists("in.wrk"));
        int plannedStatus = -1;
        Counts planned = plannedChanges(checked.err, c.table, plannedStatus);

        kt::RunResult run = box.run(argumentsOf(c));
        EXPECT_EQ(checked.out, run.out);
        EXPECT_EQ(checked.status, run.status);
        EXPECT_EQ(plannedStatus, run.status) << checked.err;
        Counts measured = measuredChanges(c);
        EXPECT_EQ(planned, measured) << checked.err;
        EXPECT_EQ(measured, c.scenario);
    }
}

// A table without transactions would keep what the check writes: nothing is
// sent. A wrong command line is a usage error.
TEST(Check, RefusesTablesWithoutTransactionsAndWrongArguments) {
    kt::resetSchema();
    kt::exec("ALTER TABLE QVS120KID ENGINE=MyISAM");
    kt::exec("INSERT INTO QVS120KID (KidKst, KidMnd, KidLiz, KidSta) VALUES ('KEEP', '01', 'L1', 1)");
    kt::Sandbox box;
    box.writeFile("in.txt", kt::field("NEW", 30) + kt::field("01", 5) + kt::field("L1", 5) + std::string(94, ' ') +
                                "\n");
    kt::RunResult refused = check(box, {"in.txt", "KST"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("table RURUVURO.QVS120KID has no transactions:"), std::string::npos)
        << refused.err;
    std::vector<kt::Row> kept = {{"KEEP", "1"}};
    EXPECT_EQ(kt::query("SELECT KidKst, KidSta FROM QVS120KID"), kept);

    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"in.txt"},
                             std::vector<std::string>{"in.txt", "KST", "/D"},
                             std::vector<std::string>{"in.txt", "KST", "UPD", "/D"}}) {
        kt::RunResult wrong = check(box, args);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_NE(wrong.err.find("usage: kelvora-check FILE TYPE [UPD]"), std::string::npos) << wrong.err;
    }
}
