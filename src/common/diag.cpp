#include "common/diag.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

const char* Prefix = "Kelvora_MYSQL: ";
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

}  // namespace

void setDiagnosticPrefix(const char* prefix) {
    Prefix = prefix;
}

void diagnose(const char* format, ...) {
    clearProgress();
    fputs(Prefix, stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
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
    fprintf(stderr, "\r%s%s: %ld records read, %ld%% of the file, %ld records/s\033[K", Prefix, Line.typeCode, records,
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
