#include "watch/importer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/contract.h"
#include "watch/argv.h"

extern char** environ;

namespace {

constexpr const char* ReportVariable = "KELVORA_REPORT";
constexpr const char* MaxFailedVariable = "KELVORA_MAX_FAILED";
constexpr const char* JournalVariable = "KELVORA_JOURNAL";
constexpr const char* RunIdVariable = "KELVORA_RUN_ID";
constexpr const char* Sha256Variable = "KELVORA_FILE_SHA256";
constexpr const char* OwnVariables[] = {ReportVariable,  MaxFailedVariable,     JournalVariable,       RunIdVariable,
                                        Sha256Variable, MaxDeletesVariable, MaxDeleteShareVariable};
constexpr int ExecFailedStatus = 127;
constexpr mode_t OutputFileMode = 0640;
constexpr int OutputFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
// Errors after which another try may succeed: deadlock, lock wait timeout,
// killed connection, and the client's "server has gone away", "lost
// connection" and "lost connection while reading".
constexpr long RetryableErrors[] = {1213, 1205, 1927, 2006, 2013, 2055};
// The client library's own errors (2000 to 2999): the server's answer never
// came, so a COMMIT that failed with one may have taken effect.
constexpr long FirstClientError = 2000;
constexpr long LastClientError = 2999;
constexpr const char* AbortEndings[] = {"transaction aborted", "commit failed", DeletionsNotCountedEnding};
// The importer's line on standard output when it could not connect, and
// the start of its line on standard error that quotes the client's text.
constexpr const char* ConnectFailedLine = "Datenbankverbindung fehlgeschlagen, Fehler: ";
constexpr const char* ConnectFailedText = "cannot connect as user ";
// Connection errors of a database that is away: too many connections,
// access denied, unknown database, shutting down, host blocked or not
// allowed, too many user connections; no socket, no host, unknown host,
// gone away, lost.
constexpr long AwayErrors[] = {1040, 1045, 1049, 1053, 1129, 1130, 1203, 2002, 2003, 2005, 2006, 2013};
constexpr size_t OutputScanBytes = 4096;
constexpr const char* CommitFailedEnding = "commit failed";

bool startsWith(const char* text, const char* front) {
    return strncmp(text, front, strlen(front)) == 0;
}

// The deletion guard's limits of the run: those of its section that are
// not off, none once its deletions were accepted.
void addDeleteLimits(const ImportRequest& request, std::vector<std::string>& environment) {
    if (request.deletesAccepted) return;
    if (request.rule.maxDeletes >= 0) {
        environment.push_back(std::string(MaxDeletesVariable) + "=" + std::to_string(request.rule.maxDeletes));
    }
    if (request.rule.maxDeleteShare >= 0) {
        environment.push_back(std::string(MaxDeleteShareVariable) + "=" + std::to_string(request.rule.maxDeleteShare));
    }
}

// The watcher's environment without the variables it sets itself, and
// those with the run's values (the journal's only when there is one).
std::vector<std::string> childEnvironment(const ImportRequest& request) {
    const FileRule& rule = request.rule;
    const RunFiles& files = request.files;
    const JournalValues& journal = request.journal;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool ours = false;
        for (const char* name : OwnVariables) ours = ours || (startsWith(*entry, name) && (*entry)[strlen(name)] == '=');
        if (!ours) environment.emplace_back(*entry);
    }
    environment.push_back(std::string(ReportVariable) + "=" + files.report);
    environment.push_back(std::string(MaxFailedVariable) + "=" + std::to_string(rule.maxFailedRecords));
    if (!journal.journal.empty()) {
        environment.push_back(std::string(JournalVariable) + "=" + journal.journal);
        environment.push_back(std::string(RunIdVariable) + "=" + journal.runId);
        environment.push_back(std::string(Sha256Variable) + "=" + journal.sha256);
    }
    addDeleteLimits(request, environment);
    return environment;
}

// In the child: a process group of its own, the signals as a new program
// expects them, standard input from /dev/null, output into the files, the
// run's lock kept across exec, the working directory, then the importer.
// A failure before the exec is written to report (close-on-exec: the
// parent reads nothing when the exec succeeded). Only async-signal-safe calls.
[[noreturn]] void execImporter(const char* workdir, const RunFiles& files, int runLock, int report, char** argv,
                               char** envp) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGIO, SIG_DFL);
    int in = open("/dev/null", O_RDONLY);
    int out = open(files.out.c_str(), OutputFlags, OutputFileMode);
    int err = open(files.err.c_str(), OutputFlags, OutputFileMode);
    // The output files' entries reach the disk before the importer can
    // commit anything: a watcher that finds no standard error after a crash
    // knows the importer never ran.
    const bool ready = in >= 0 && out >= 0 && err >= 0 && fsync(runLock) == 0 && dup2(in, STDIN_FILENO) >= 0 &&
                       dup2(out, STDOUT_FILENO) >= 0 && dup2(err, STDERR_FILENO) >= 0 &&
                       fcntl(runLock, F_SETFD, 0) == 0 && chdir(workdir) == 0;
    if (ready) execve(argv[0], argv, envp);
    const int error = errno;
    ssize_t written = write(report, &error, sizeof error);
    (void)written;
    _exit(ExecFailedStatus);
}

// Whether the child reached its exec: the pipe closes without a word then.
bool childExecuted(int report, int& error) {
    ssize_t got = 0;
    do {
        got = read(report, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got != static_cast<ssize_t>(sizeof error);
}

// A whole number of the report, or fallback when it has none there.
long numberOr(const nlohmann::json& report, const char* key, long fallback) {
    auto value = report.find(key);
    return value != report.end() && value->is_number_integer() ? value->get<long>() : fallback;
}

// The report's text for key, or an empty text when it has none there.
std::string textOr(const nlohmann::json& report, const char* key) {
    auto value = report.find(key);
    return value != report.end() && value->is_string() ? value->get<std::string>() : std::string();
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
    const size_t end = text.find('\n', at);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end == std::string::npos ? std::string::npos : end - (start == std::string::npos ? 0 : start + 1));
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

// Whether error is one of the count errors.
bool isOneOf(long error, const long* errors, size_t count) {
    return std::find(errors, errors + count, error) != errors + count;
}

// A limit of the report's delete_limits, or -1 when it is not set.
long limitOf(const nlohmann::json& limits, const char* key) {
    auto value = limits.find(key);
    return value != limits.end() && value->is_number_integer() ? value->get<long>() : -1;
}

// A count of a table in the report, or -1 where it was not counted.
long long countOf(const nlohmann::json& table, const char* key) {
    auto value = table.find(key);
    return value != table.end() && value->is_number_integer() ? value->get<long long>() : -1;
}

// The deletion guard's part of the report: its limits and its tables.
void readGuard(const nlohmann::json& report, RunOutcome& outcome) {
    auto limits = report.find("delete_limits");
    if (limits != report.end() && limits->is_object()) {
        outcome.maxDeletes = limitOf(*limits, "max_deletes");
        outcome.maxDeleteShare = limitOf(*limits, "max_delete_share");
    }
    auto tables = report.find("tables");
    if (tables == report.end() || !tables->is_array()) return;
    for (const nlohmann::json& table : *tables) {
        if (!table.is_object()) continue;
        GuardedCounts counts;
        counts.table = textOr(table, "table");
        counts.before = countOf(table, "rows_before");
        counts.after = countOf(table, "rows_after");
        counts.deleted = countOf(table, "deleted");
        counts.tooMany = table.value("too_many", false);
        outcome.guarded.push_back(counts);
    }
}

}  // namespace

// The importer writes its report whole through a temporary file, so a
// report that is there is complete.
bool readReport(const std::string& path, RunOutcome& outcome) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    try {
        nlohmann::json report = nlohmann::json::parse(text.str(), nullptr, false);
        if (!report.is_object()) return false;
        outcome.lines = numberOr(report, "lines", 0);
        outcome.written = numberOr(report, "written", 0);
        outcome.failed = numberOr(report, "failed", 0);
        outcome.wrongLength = numberOr(report, "wrong_length", 0);
        outcome.result = numberOr(report, "result", 0);
        outcome.committed = report.value("committed", false);
        outcome.ending = textOr(report, "ending");
        outcome.failedStatement = textOr(report, "failed_statement");
        outcome.reportedStatus = static_cast<int>(numberOr(report, "exit_status", -1));
        readGuard(report, outcome);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool startImport(const ImportRequest& request, pid_t& pid, std::string& reason) {
    const WatchConfig& config = request.site;
    const FileRule& rule = request.rule;
    std::vector<std::string> arguments = {config.program, request.source, rule.typeCode};
    if (rule.update) arguments.emplace_back("UPD");
    if (rule.debug) arguments.emplace_back("/D");
    std::vector<std::string> environment = childEnvironment(request);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        reason = std::string("cannot start the importer: ") + strerror(errno);
        return false;
    }
    fflush(nullptr);
    pid = fork();
    if (pid == 0) execImporter(config.workdir.c_str(), request.files, request.runLock, report[1], argv.data(), envp.data());
    const int forkError = errno;
    close(report[1]);
    int error = forkError;
    const bool started = pid > 0 && childExecuted(report[0], error);
    close(report[0]);
    if (started) return true;
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
    reason = std::string("cannot start the importer ") + config.program + ": " + strerror(error);
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

bool databaseAway(const RunOutcome& outcome) {
    return outcome.connectError != 0 && isOneOf(outcome.connectError, AwayErrors, std::size(AwayErrors));
}

Committed committedOf(const RunOutcome& outcome) {
    if (outcome.connectError != 0) return Committed::No;   // it never connected
    if (!outcome.reported || commitUnknown(outcome)) return Committed::Unknown;
    return outcome.committed ? Committed::Yes : Committed::No;
}

const char* committedText(Committed committed) {
    switch (committed) {
    case Committed::Yes:
        return "committed";
    case Committed::No:
        return "nothing committed";
    case Committed::Unknown:
        break;
    }
    return "unknown whether committed";
}

bool commitUnknown(const RunOutcome& outcome) {
    return outcome.reported && outcome.ending == CommitFailedEnding && outcome.result >= FirstClientError &&
           outcome.result <= LastClientError;
}

bool isRetryable(const RunOutcome& outcome) {
    if (!outcome.reported || outcome.committed || commitUnknown(outcome)) return false;
    bool aborted = false;
    for (const char* ending : AbortEndings) aborted = aborted || outcome.ending == ending;
    return aborted && isOneOf(outcome.result, RetryableErrors, std::size(RetryableErrors));
}
