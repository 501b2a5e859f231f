#include "watch/importer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "common/contract.h"
#include "watch/child.h"
#include "watch/jsonread.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

constexpr size_t OutputScanBytes = 4096;

bool isContractVariable(const char* entry) {
    for (const char* name : ContractVariables) {
        const size_t length = strlen(name);
        if (strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
    }
    return false;
}

void addVariable(std::vector<std::string>& environment, const char* name, const std::string& value) {
    environment.push_back(std::string(name) + "=" + value);
}

// The run's environment with its report and journal (the journal's only
// when there is one) beside what its section sets.
std::vector<std::string> importEnvironment(const ImportRequest& request) {
    std::vector<std::string> environment =
        sectionEnvironment(request.rule, request.deletesAccepted ? DeleteGuard::Off : DeleteGuard::AsSectionSays);
    addVariable(environment, ReportVariable, request.files.report);
    if (!request.journal.journal.empty()) {
        addVariable(environment, JournalVariable, request.journal.journal);
        addVariable(environment, RunIdVariable, request.journal.runId);
        addVariable(environment, Sha256Variable, request.journal.sha256);
    }
    return environment;
}

// A whole number of the report, or fallback when it has none there.
long numberOr(const Json& report, const char* key, long fallback) {
    long number = fallback;
    return readNumber(report, key, number) ? number : fallback;
}

// A count of the report, or -1 where it was not counted.
long long countOf(const Json& table, const char* key) {
    long long count = -1;
    return readNumber(table, key, count) ? count : -1;
}

// The report's text for key, or an empty text when it has none there.
std::string textOr(const Json& report, const char* key) {
    std::string text;
    return readText(report, key, text) ? text : std::string();
}

// The deletion guard's part of the report: its limits and its tables.
void readGuard(const Json& report, RunOutcome& outcome) {
    auto limits = report.find(ReportDeleteLimitsKey);
    if (limits != report.end() && limits->is_object()) {
        outcome.maxDeletes = numberOr(*limits, ReportMaxDeletesKey, -1);
        outcome.maxDeleteShare = numberOr(*limits, ReportMaxDeleteShareKey, -1);
    }
    auto tables = report.find(ReportTablesKey);
    if (tables == report.end() || !tables->is_array()) return;
    for (const Json& table : *tables) {
        if (!table.is_object()) continue;
        GuardedCounts counts;
        counts.table = textOr(table, ReportTableKey);
        counts.before = countOf(table, ReportRowsBeforeKey);
        counts.after = countOf(table, ReportRowsAfterKey);
        counts.deleted = countOf(table, ReportDeletedKey);
        readFlag(table, ReportTooManyKey, counts.tooMany);
        outcome.guarded.push_back(counts);
    }
}

// The first bytes of a small output file.
std::string headOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(OutputScanBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

// The line of text that holds part, without its line end; empty when none.
std::string lineWith(const std::string& text, const char* part) {
    const size_t at = text.find(part);
    if (at == std::string::npos) return "";
    const size_t start = text.rfind('\n', at);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    const size_t end = text.find('\n', at);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// A run that could not connect says so on standard output (a line scripts
// parse) before anything else, and on standard error with the client's text.
void readConnectFailure(const RunFiles& files, RunOutcome& outcome) {
    const std::string out = headOf(files.out);
    if (out.compare(0, strlen(ConnectFailedLine), ConnectFailedLine) != 0) return;
    outcome.connectError = strtol(out.c_str() + strlen(ConnectFailedLine), nullptr, 10);
    outcome.connectText = lineWith(headOf(files.err), ConnectFailedText);
    for (char& c : outcome.connectText) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
}

// The first record the server refused, as the report lists it.
void readFirstFailure(const Json& report, RunOutcome& outcome) {
    const auto failures = report.find(ReportFailuresKey);
    if (failures == report.end() || !failures->is_array() || failures->empty() || !(*failures)[0].is_object()) return;
    const Json& first = (*failures)[0];
    outcome.firstFailedLine = numberOr(first, ReportFailureLineKey, 0);
    outcome.firstError = numberOr(first, ReportFailureErrorKey, 0);
    outcome.firstErrorText = textOr(first, ReportFailureTextKey);
}

}  // namespace

std::vector<std::string> sectionEnvironment(const FileRule& rule, DeleteGuard guard) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!isContractVariable(*entry)) environment.emplace_back(*entry);
    }
    addVariable(environment, MaxFailedVariable, std::to_string(rule.maxFailedRecords));
    if (guard == DeleteGuard::Off) return environment;
    if (rule.maxDeletes >= 0) addVariable(environment, MaxDeletesVariable, std::to_string(rule.maxDeletes));
    if (rule.maxDeleteShare >= 0) addVariable(environment, MaxDeleteShareVariable, std::to_string(rule.maxDeleteShare));
    return environment;
}

// The importer writes its report whole through a temporary file, so a
// report that is there is complete.
bool readReport(const std::string& path, RunOutcome& outcome) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    const Json report = Json::parse(text.str(), nullptr, false);
    if (!report.is_object()) return false;
    outcome.lines = numberOr(report, ReportLinesKey, 0);
    outcome.written = numberOr(report, ReportWrittenKey, 0);
    outcome.failed = numberOr(report, ReportFailedKey, 0);
    outcome.wrongLength = numberOr(report, ReportWrongLengthKey, 0);
    outcome.result = numberOr(report, ReportResultKey, 0);
    outcome.committed = false;
    readFlag(report, ReportCommittedKey, outcome.committed);
    outcome.ending = textOr(report, ReportEndingKey);
    outcome.failedStatement = textOr(report, ReportFailedStatementKey);
    outcome.reportedStatus = static_cast<int>(numberOr(report, ReportExitStatusKey, -1));
    readGuard(report, outcome);
    readFirstFailure(report, outcome);
    return true;
}

bool startImport(const ImportRequest& request, pid_t& pid, std::string& reason) {
    const std::vector<std::string> environment = importEnvironment(request);
    ChildRequest child;
    child.arguments = {request.site.program, request.source, request.rule.typeCode};
    if (request.rule.update) child.arguments.emplace_back("UPD");
    if (request.rule.debug) child.arguments.emplace_back("/D");
    child.environment = &environment;
    child.workdir = request.site.workdir;
    child.outputPath = request.files.out;
    child.errorPath = request.files.err;
    // The output files' entries reach the disk before the importer can
    // commit anything: a watcher that finds no standard error after a crash
    // knows the importer never ran.
    child.syncedFolder = request.runLock;
    child.handedOn = request.runLock;
    child.group = ChildGroup::Own;
    if (startChild(child, pid)) return true;
    reason = std::string("cannot start the importer ") + request.site.program + ": " + strerror(errno);
    return false;
}

bool importEnded(pid_t pid, const RunFiles& files, RunOutcome& outcome) {
    int status = 0;
    pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) return false;
    outcome = RunOutcome();
    if (ended > 0 && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    if (ended > 0 && WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    outcome.reported = readReport(files.report, outcome);
    if (!outcome.reported) readConnectFailure(files, outcome);
    return true;
}
