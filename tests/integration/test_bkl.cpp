// BKL: authorization classes, synchronised by mark and sweep in ReplaceMode
// and merged into the table in UpdateMode; AwbMnd goes into the insert
// without apostrophes and so must be a whole number or nothing at all.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const char* const SelectAll =
    "SELECT AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta FROM QVS301AWB "
    "ORDER BY AwbAws, AwbBkl, AwbLiz, AwbMnd";
const char* const SelectWithDate =
    "SELECT AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta, AwbDat FROM QVS301AWB "
    "ORDER BY AwbAws, AwbBkl, AwbLiz, AwbMnd";
const char* const OldDate = "2001-02-03 04:05:06";

std::string bklLine(const std::string& aws, const std::string& mnd, const std::string& zuv) {
    return kt::field(aws, 50) + kt::field("BK", 5) + kt::field("LZ", 5) + kt::field(mnd, 5) +
           kt::field(zuv, 1) + "\n";
}

std::string countLine(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in Qvs301Awb eingefuegt\n";
}

std::string failureLine(int code) {
    return "  Berechtigungsklassen: Insert-Fehler: " + std::to_string(code) + "\n";
}

void insertRow(const std::string& aws, const std::string& mnd, int zuv, int status) {
    kt::exec("INSERT INTO QVS301AWB VALUES ('" + aws + "', 'BK', 'LZ', '" + mnd + "', " +
             std::to_string(zuv) + ", " + std::to_string(status) + ", '" + OldDate + "')");
}

constexpr int SyntaxError = 1064;

}  // namespace

TEST(AuthClasses, ReplaceModeLeavesExactlyTheFileInTheTable) {
    kt::resetSchema();
    insertRow("KEEP", "1", 0, 1);
    insertRow("DROP", "1", 0, 1);
    kt::Sandbox box;
    const std::string file = bklLine("KEEP", "1", "5") + bklLine("it's \\ x", "2", "") +
                             bklLine("LETTER", "-3", "x");
    box.writeFile("in.txt", file);
    kt::RunResult run = box.run({"in.txt", "BKL"});
    EXPECT_EQ(run.out, countLine(3));
    EXPECT_EQ(run.status, 0);
    const std::vector<kt::Row> expected = {
        {"it's \\ x", "BK", "LZ", "2", "0", "1"},
        {"KEEP", "BK", "LZ", "1", "5", "1"},
        {"LETTER", "BK", "LZ", "-3", "0", "1"},
    };
    EXPECT_EQ(kt::query(SelectAll), expected);

    // Run again: each update finds its row (the apostrophe and backslash
    // key included), so nothing is swept and every record counts again.
    box.writeFile("in.txt", file);   // the first run moved the source aside
    run = box.run({"in.txt", "BKL"});
    EXPECT_EQ(run.out, countLine(3));
    EXPECT_EQ(kt::query(SelectAll), expected);
}

TEST(AuthClasses, UpdateModeMergesWithoutMarking) {
    kt::resetSchema();
    insertRow("OTHER", "1", 3, 1);
    insertRow("STALE", "1", 3, 4);
    insertRow("HIT", "1", 3, 4);
    kt::Sandbox box;
    box.writeFile("in.txt", bklLine("HIT", "1", "7") + bklLine("FRESH", "5", "2"));
    kt::RunResult run = box.run({"in.txt", "BKL", "UPD"});
    EXPECT_EQ(run.out, countLine(2));
    EXPECT_EQ(run.status, 0);
    const std::vector<kt::Row> expected = {
        {"FRESH", "BK", "LZ", "5", "2", "1"},
        {"HIT", "BK", "LZ", "1", "7", "1"},
        {"OTHER", "BK", "LZ", "1", "3", "1"},
    };
    EXPECT_EQ(kt::query(SelectAll), expected);
    EXPECT_EQ(kt::query("SELECT AwbDat FROM QVS301AWB WHERE AwbAws = 'OTHER'"),
              std::vector<kt::Row>{{OldDate}});

    // An empty file in UpdateMode touches nothing but rows already at 4.
    insertRow("STALE", "1", 3, 4);
    box.writeFile("in.txt", "");
    run = box.run({"in.txt", "BKL", "UPD"});
    EXPECT_EQ(run.out, countLine(0));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::query(SelectAll), expected);
}

TEST(AuthClasses, BlankMandatorFailsOnlyInTheInsert) {
    kt::resetSchema();
    insertRow("EMPTYKEY", "", 0, 1);
    kt::Sandbox box;
    box.writeFile("in.txt", bklLine("EMPTYKEY", "", "6") + bklLine("NOKEY", "", "6"));
    kt::RunResult run = box.run({"in.txt", "BKL", "UPD"});
    // The first update finds its row; the second finds none and its insert,
    // with nothing between two commas, is a syntax error. The sweep's result
    // stands all the same.
    EXPECT_EQ(run.out, failureLine(SyntaxError) + countLine(1));
    EXPECT_EQ(run.status, 0);
    const std::vector<kt::Row> expected = {{"EMPTYKEY", "BK", "LZ", "", "6", "1"}};
    EXPECT_EQ(kt::query(SelectAll), expected);
}

TEST(AuthClasses, MandatorThatIsNoNumberReachesNoStatement) {
    kt::resetSchema();
    insertRow("A", "ab", 3, 1);
    insertRow("A", "1", 3, 1);
    const std::vector<kt::Row> before = kt::query(SelectWithDate);
    kt::Sandbox box;
    // "ab" would match the first row's key in the update; "1),(x" would add
    // a row of its own in the insert; "- 1", "1 2" and "1x" are no numbers.
    box.writeFile("in.txt", bklLine("A", "ab", "9") + bklLine("A", "1),(x", "9") +
                                bklLine("A", "- 1", "9") + bklLine("A", "1 2", "9") +
                                bklLine("A", "1x", "9"));
    kt::RunResult run = box.run({"in.txt", "BKL", "UPD"});
    std::string failures;
    for (int i = 0; i < 5; ++i) failures += failureLine(-1);
    EXPECT_EQ(run.out, failures + countLine(0));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::query(SelectWithDate), before);
}

// AwbMnd is sent in one normal form, the integer as the server prints it,
// in the update's comparison and in the insert alike: a row written from
// "007" is found again by "007", in ReplaceMode too, where the sweep would
// otherwise delete it.
TEST(AuthClasses, NumbersWithLeadingZerosFindTheirRows) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("in.txt", bklLine("A", "007", "2") + bklLine("C", "0042", "2") + bklLine("D", "  +4", "2") +
                                bklLine("E", "-0007", "2") + bklLine("F", "00000", "2"));
    kt::RunResult run = box.run({"in.txt", "BKL"});
    EXPECT_EQ(run.out, countLine(5));
    box.writeFile("in.txt", bklLine("A", "007", "3") + bklLine("C", "42", "3") + bklLine("D", "04", "3") +
                                bklLine("E", "-7", "3") + bklLine("F", "0", "3"));
    run = box.run({"in.txt", "BKL"});
    EXPECT_EQ(run.out, countLine(5));
    EXPECT_EQ(run.status, 0);
    const std::vector<kt::Row> expected = {
        {"A", "BK", "LZ", "7", "3", "1"},
        {"C", "BK", "LZ", "42", "3", "1"},
        {"D", "BK", "LZ", "4", "3", "1"},
        {"E", "BK", "LZ", "-7", "3", "1"},
        {"F", "BK", "LZ", "0", "3", "1"},
    };
    EXPECT_EQ(kt::query(SelectAll), expected);
}

TEST(AuthClasses, ResultIsTheSweepsEvenAfterAFailedLastRecord) {
    kt::resetSchema();
    insertRow("GONE", "1", 0, 1);
    kt::exec("CREATE TRIGGER refuse_delete BEFORE DELETE ON QVS301AWB FOR EACH ROW "
             "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
    kt::Sandbox box;
    box.writeFile("in.txt", bklLine("NEW", "1", "1") + bklLine("NEW", "", "1"));
    kt::RunResult run = box.run({"in.txt", "BKL"});
    EXPECT_EQ(run.out, failureLine(SyntaxError) + countLine(1));
    EXPECT_EQ(run.status, 1644 & 0xFF);
    const std::vector<kt::Row> expected = {
        {"GONE", "BK", "LZ", "1", "0", "4"},
        {"NEW", "BK", "LZ", "1", "1", "1"},
    };
    EXPECT_EQ(kt::query(SelectAll), expected);
}
