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
#include "common/contract.h"
#include "common/diag.h"
#include "common/fileio.h"
#include "driver/deleteguard.h"
#include "import/failures.h"
#include "import/report.h"

namespace {

constexpr int JsonIndent = 2;
constexpr double MillisecondsPerSecond = 1000.0;

const char* ReportPath = nullptr;

using Json = nlohmann::ordered_json;

// The kept failed records, their texts in UTF-8.
Json failedRecords() {
    Json list = Json::array();
    for (int i = 0; i < keptFailedRecordCount(); ++i) {
        const FailedRecord& record = keptFailedRecord(i);
        list.push_back({{ReportFailureLineKey, record.line},
                        {"key", windows1252ToUtf8(record.key)},
                        {ReportFailureErrorKey, record.code},
                        {ReportFailureTextKey, windows1252ToUtf8(record.text)}});
    }
    return list;
}

// A limit of the deletion guard, or null where it is not set.
Json limitJson(long limit) {
    return limit == NoDeleteLimit ? Json() : Json(limit);
}

// With the deletion guard set: its limits and, for each table the type code
// writes, the rows before and after the run and those it deleted (null
// where they were not counted: the table is missing, or the run ended
// before the guard counted).
void addGuard(Json& report) {
    if (!deleteGuardSet()) return;
    report[ReportDeleteLimitsKey] = {{ReportMaxDeletesKey, limitJson(deleteLimits().rows)},
                                     {ReportMaxDeleteShareKey, limitJson(deleteLimits().share)}};
    Json tables = Json::array();
    for (int i = 0; i < guardedTableCount(); ++i) {
        const GuardedTable& table = guardedTable(i);
        tables.push_back({{ReportTableKey, table.name},
                          {"exists", table.exists},
                          {ReportRowsBeforeKey, table.noted ? Json(table.before) : Json()},
                          {ReportRowsAfterKey, table.counted ? Json(table.after) : Json()},
                          {ReportDeletedKey, table.counted ? Json(table.deleted) : Json()},
                          {ReportTooManyKey, table.tooMany}});
    }
    report[ReportTablesKey] = tables;
}

// Paths are bytes on this system: they go in as they stand, and the
// serializer replaces what is not UTF-8.
std::string reportText(const RunFacts& facts) {
    Json report = {
        {"type", facts.typeCode},
        {"source", facts.source},
        {"work_file", facts.work},
        {ReportLinesKey, Tally.lines},
        {ReportWrittenKey, Tally.written},
        {ReportFailedKey, Tally.failed},
        {ReportWrongLengthKey, Tally.wrongLength},
        {"lone_newlines", Tally.loneNewlines},
        {ReportCommittedKey, facts.committed},
        {ReportEndingKey, facts.ending},
        {ReportFailedStatementKey, Tally.failedStatement != nullptr ? Json(Tally.failedStatement) : Json()},
        {ReportResultKey, facts.result},
        {ReportExitStatusKey, facts.exitStatus},
        {"seconds", std::round(facts.seconds * MillisecondsPerSecond) / MillisecondsPerSecond},
        {ReportFailuresKey, failedRecords()},
        {"failures_not_listed", Tally.failed - keptFailedRecordCount()},
    };
    addGuard(report);
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
        diagnoseAt(Severity::Error, "cannot build the run report for %s: %s", ReportPath, error.what());
        return;
    }
    if (!writeFileWhole(ReportPath, text)) {
        diagnoseAt(Severity::Error, "cannot write the run report %s: %s", ReportPath, strerror(errno));
    }
}
