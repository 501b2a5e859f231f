#include "watch/history.h"

#include <fcntl.h>
#include <unistd.h>

#include "watch/durable.h"
#include "watch/importer.h"
#include "watch/names.h"
#include "watch/runrecord.h"

namespace {

constexpr size_t StampLength = 16;
constexpr const char* ReportName = "report.json";

}  // namespace

time_t stampTime(const std::string& stamp) {
    struct tm utc {};
    if (stamp.size() != StampLength || strptime(stamp.c_str(), "%Y%m%dT%H%M%SZ", &utc) == nullptr) return -1;
    return timegm(&utc);
}

std::vector<FiledRun> filedRuns(const std::string& base) {
    std::vector<FiledRun> runs;
    int baseFd = openFolder(AT_FDCWD, base);
    std::vector<std::string> names;
    if (baseFd >= 0) listFolder(baseFd, names);
    for (const std::string& name : names) {
        int folder = name[0] == '.' ? -1 : openFolder(baseFd, name);
        RunRecord record;
        const bool filed = folder >= 0 && readRunRecord(folder, record) && record.step == Step::Filing;
        if (folder >= 0) close(folder);
        if (!filed) continue;
        FiledRun run;
        run.folder = base + "/" + name;
        run.name = shownName(record.name);
        run.typeCode = record.rule.typeCode;
        run.taken = stampTime(record.stamp);
        run.archived = record.archived;
        run.outcome = record.outcome;
        run.reason = record.reason;
        RunOutcome report;
        if (readReport(run.folder + "/" + ReportName, report)) {
            run.lines = report.lines;
            run.written = report.written;
            run.failed = report.failed;
        }
        runs.push_back(run);
    }
    if (baseFd >= 0) close(baseFd);
    return runs;
}
