// KELVORA_REPORT: the JSON report of a run, for the programs that call the
// importer unattended. Standard output and the exit status stay those of a
// run without it.
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
