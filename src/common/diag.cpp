#include "common/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* Program = "Kelvora_MYSQL";
constexpr double ProgressAfterSeconds = 1.0;
constexpr double ProgressEverySeconds = 0.25;
constexpr double NanosecondsPerSecond = 1e9;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / NanosecondsPerSecond;
}

const double StartSeconds = monotonicSeconds();

struct Progress {
    bool terminal = false;
    bool shown = false;
    const char* typeCode = "";
    long long fileSize = 0;
    double lastDrawn = 0;
};

Progress Line;

// The journal's priorities, as syslog numbers them.
constexpr int JournalError = 3;
constexpr int JournalWarning = 4;
constexpr int JournalInfo = 6;
constexpr const char* JournalStreamVariable = "JOURNAL_STREAM";

// The number that leads a line of this severity in the journal.
int journalPriority(Severity severity) {
    switch (severity) {
    case Severity::Error:
        return JournalError;
    case Severity::Warning:
        return JournalWarning;
    case Severity::Info:
        break;
    }
    return JournalInfo;
}

// The service manager names the journal's stream in JOURNAL_STREAM as
// "DEVICE:INODE". Standard error is that stream only when its own device
// and inode are those: a child whose standard error went to a file or a
// pipe inherits the variable, not the stream.
bool standardErrorIsJournal() {
    const char* stream = getenv(JournalStreamVariable);
    if (stream == nullptr) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char after = 0;
    if (sscanf(stream, "%llu:%llu%c", &device, &inode, &after) != 2) return false;
    struct stat info;
    return fstat(STDERR_FILENO, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

// Standard error is looked at once, at the first line: it does not change
// while the process lives.
bool writesToJournal() {
    static const bool journal = standardErrorIsJournal();
    return journal;
}

// One line, after the progress line is cleared: the journal's priority
// where standard error is the journal, the program's name, the text.
void diagnoseWith(Severity severity, const char* format, va_list args) {
    clearProgress();
    if (writesToJournal()) fprintf(stderr, "<%d>", journalPriority(severity));
    fprintf(stderr, "%s: ", Program);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    fflush(stderr);
}

}  // namespace

void diagnose(const char* format, ...) {
    va_list args;
    va_start(args, format);
    diagnoseWith(Severity::Info, format, args);
    va_end(args);
}

void diagnoseAt(Severity severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    diagnoseWith(severity, format, args);
    va_end(args);
}

void setDiagnosticProgram(const char* name) {
    Program = name;
}

double secondsSinceStart() {
    return monotonicSeconds() - StartSeconds;
}

void startProgress(const char* typeCode, long long fileSize) {
    Line.terminal = isatty(STDERR_FILENO) != 0;
    Line.typeCode = typeCode;
    Line.fileSize = fileSize;
    Line.lastDrawn = 0;
}

// Called every few hundred records, never per record: the clock is read
// here, and the line is drawn at most a few times a second.
void showProgress(long records, long long position) {
    if (!Line.terminal) return;
    double now = secondsSinceStart();
    if (now < ProgressAfterSeconds || now - Line.lastDrawn < ProgressEverySeconds) return;
    Line.lastDrawn = now;
    long percent = Line.fileSize > 0 ? static_cast<long>(100 * position / Line.fileSize) : 0;
    long perSecond = static_cast<long>(static_cast<double>(records) / now);
    fprintf(stderr, "\r%s: %s: %ld records read, %ld%% of the file, %ld records/s\033[K", Program, Line.typeCode, records,
            percent, perSecond);
    fflush(stderr);
    Line.shown = true;
}

void clearProgress() {
    if (!Line.shown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    Line.shown = false;
}
