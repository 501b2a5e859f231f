#include "driver/runreport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "common/charset.h"
#include "common/diag.h"
#include "common/fileio.h"
#include "import/failures.h"
#include "import/report.h"

namespace {

constexpr const char* ReportVariable = "KELVORA_REPORT";
constexpr int JsonIndent = 2;
constexpr double MillisecondsPerSecond = 1000.0;

const char* ReportPath = nullptr;

using Json = nlohmann::ordered_json;

// The kept failed records, their texts in UTF-8.
Json failedRecords() {
    Json list = Json::array();
    for (int i = 0; i < keptFailedRecordCount(); ++i) {
        const FailedRecord& record = keptFailedRecord(i);
        list.push_back({{"line", record.line},
                        {"key", windows1252ToUtf8(record.key)},
                        {"error", record.code},
                        {"text", windows1252ToUtf8(record.text)}});
    }
    return list;
}

// Paths are bytes on this system: they go in as they stand, and the
// serializer replaces what is not UTF-8.
std::string reportText(const RunFacts& facts) {
    Json report = {
        {"type", facts.typeCode},
        {"source", facts.source},
        {"work_file", facts.work},
        {"lines", Tally.lines},
        {"written", Tally.written},
        {"failed", Tally.failed},
        {"wrong_length", Tally.wrongLength},
        {"lone_newlines", Tally.loneNewlines},
        {"committed", facts.committed},
        {"ending", facts.ending},
        {"failed_statement", Tally.failedStatement != nullptr ? Json(Tally.failedStatement) : Json()},
        {"result", facts.result},
        {"exit_status", facts.exitStatus},
        {"seconds", std::round(facts.seconds * MillisecondsPerSecond) / MillisecondsPerSecond},
        {"failures", failedRecords()},
        {"failures_not_listed", Tally.failed - keptFailedRecordCount()},
    };
    return report.dump(JsonIndent, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

void takeReportSetting() {
    const char* path = getenv(ReportVariable);
    if (path == nullptr || *path == '\0') return;
    ReportPath = path;
    wantFailureKeys();
}

void writeRunReport(const RunFacts& facts) {
    if (ReportPath == nullptr) return;
    std::string text;
    try {
        text = reportText(facts);
    } catch (const std::exception& error) {
        diagnose("cannot build the run report for %s: %s", ReportPath, error.what());
        return;
    }
    if (!writeFileWhole(ReportPath, text)) {
        diagnose("cannot write the run report %s: %s", ReportPath, strerror(errno));
    }
}
