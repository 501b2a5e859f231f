#include "watch/history.h"

#include <fcntl.h>
#include <unistd.h>

#include "watch/durable.h"
#include "watch/importer.h"
#include "watch/names.h"
#include "watch/runrecord.h"

namespace {

constexpr size_t StampLength = 16;
constexpr size_t MaxNoteBytes = 4096;
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
        run.held = record.held;
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

void readLastImportNotes(int staging, std::map<std::string, std::string>& stamps) {
    std::string text;
    if (!readSmallFile(staging, LastImportsName, MaxNoteBytes, text)) return;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) stamps[line.substr(0, blank)] = line.substr(blank + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
}

bool noteLastImport(int staging, const std::string& typeCode, const std::string& stamp) {
    std::map<std::string, std::string> stamps;
    readLastImportNotes(staging, stamps);
    if (stamps[typeCode] >= stamp) return true;
    stamps[typeCode] = stamp;
    std::string text;
    for (const auto& [type, taken] : stamps) text += type + " " + taken + "\n";
    return writeFileDurably(staging, LastImportsName, text);
}
