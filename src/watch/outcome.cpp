#include "watch/outcome.h"

#include <cstdio>
#include <fstream>

namespace {

constexpr size_t LastLineBytes = 1024;

// The last line of a small text file (the importer's standard error), for
// a reason that has nothing better to say; control bytes become blanks.
std::string lastLineOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "";
    const std::streamoff size = in.tellg();
    const std::streamoff start = size > static_cast<std::streamoff>(LastLineBytes) ? size - LastLineBytes : 0;
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t end = text.rfind('\n');
    std::string line = end == std::string::npos ? text : text.substr(end + 1);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return line;
}

}  // namespace

bool importedWhole(const RunOutcome& run, const FileRule& rule) {
    return run.status == 0 && run.reported && run.committed && run.failed == 0 && run.failedStatement.empty() &&
           run.wrongLength <= rule.maxWrongLength;
}

std::string failureReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile) {
    char text[1024];
    if (run.connectError != 0) {
        snprintf(text, sizeof text, "the importer could not connect (error %ld): %s; nothing was committed",
                 run.connectError, run.connectText.empty() ? "see stderr.txt" : run.connectText.c_str());
    } else if (!run.reported && run.signal != 0) {
        snprintf(text, sizeof text,
                 "the importer was ended by signal %d without a run report: whether it was committed is unknown; "
                 "look at the table before delivering the file again", run.signal);
    } else if (!run.reported) {
        snprintf(text, sizeof text,
                 "the importer ended with exit status %d without a run report (%s): whether it was committed is "
                 "unknown; look at the table before delivering the file again",
                 run.status, lastLineOf(errorFile).c_str());
    } else if (commitUnknown(run)) {
        snprintf(text, sizeof text,
                 "the connection was lost during the COMMIT (error %ld): whether the run was committed is unknown; "
                 "look at the table before delivering the file again", run.result);
    } else if (run.ending == "too many failed") {
        snprintf(text, sizeof text, "%ld records failed, more than max-failed-records = %ld: nothing was committed",
                 run.failed, record.rule.maxFailedRecords);
    } else if (isRetryable(run)) {
        snprintf(text, sizeof text, "the transaction was aborted with error %ld in %d runs: nothing was committed",
                 run.result, record.attempt);
    } else if (!run.committed) {
        snprintf(text, sizeof text, "the run ended with \"%s\", result %ld, exit %d: nothing was committed",
                 run.ending.c_str(), run.result, run.status);
    } else if (run.failed > 0) {
        snprintf(text, sizeof text, "%ld records failed and are not in the table; the rest was committed", run.failed);
    } else if (run.wrongLength > record.rule.maxWrongLength) {
        snprintf(text, sizeof text,
                 "%ld lines of the wrong length were skipped, more than max-wrong-length = %ld; the rest was committed",
                 run.wrongLength, record.rule.maxWrongLength);
    } else if (!run.failedStatement.empty()) {
        snprintf(text, sizeof text, "the run was committed although its %s statement failed (see stderr.txt)",
                 run.failedStatement.c_str());
    } else {
        snprintf(text, sizeof text, "the run was committed but ended with exit status %d (result %ld)", run.status,
                 run.result);
    }
    return text;
}
