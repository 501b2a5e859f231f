#include "driver/runreport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/charset.h"
#include "common/diag.h"
#include "import/failures.h"
#include "import/report.h"

namespace {

constexpr const char* ReportVariable = "KELVORA_REPORT";
constexpr int JsonIndent = 2;
constexpr double MillisecondsPerSecond = 1000.0;

const char* ReportPath = nullptr;

using Json = nlohmann::ordered_json;

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

// The file mode that the process's umask gives a new file.
mode_t createdFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes text to a new temporary file beside path, then renames it over
// path, so that a reader finds the old report or the whole new one.
bool writeWhole(const char* path, const std::string& text) {
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    bool written = fchmod(fd, createdFileMode()) == 0;
    size_t done = 0;
    while (written && done < text.size()) {
        ssize_t count = write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        written = count > 0;
        if (written) done += static_cast<size_t>(count);
    }
    written = written && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), path) == 0) return true;
    int reason = errno;
    unlink(temporary.c_str());
    errno = reason;
    return false;
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
    if (!writeWhole(ReportPath, text)) {
        diagnose("cannot write the run report %s: %s", ReportPath, strerror(errno));
    }
}
