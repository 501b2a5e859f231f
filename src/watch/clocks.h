// The watcher's two clocks. The monotonic one (seconds since the start,
// which no one can set back) times every wait: settling, retries, outages,
// hooks. The wall clock names things (the run folders' time stamps, the
// notes and the log) and dates the filed runs; a wall time is never what a
// wait is measured by.
#pragma once
#include <ctime>
#include <string>

constexpr long SecondsPerDay = 86400;

// Seconds on the monotonic clock since the watcher started.
double monotonicNow();

// Seconds on the clock since the machine booted (CLOCK_BOOTTIME): monotonic
// and the same for every process, so that status can tell how long an
// import of the watcher has run.
double bootClockNow();

// The wall clock, in seconds since 1970.
time_t wallClockNow();

// A wall time as the run folders name it: 20250131T235959Z (UTC).
std::string utcStamp(time_t time);

// A wall time for people to read: "2025-01-31 23:59:59 UTC".
std::string utcText(time_t time);

// The UTC time of such a stamp; -1 when it is none.
time_t stampTime(const std::string& stamp);

// Seconds since a file was last written, by its own times against the wall
// clock (for a file the watcher has not watched): the later of its
// modification and status change times, since a transfer that keeps the
// sender's modification time still moves the status change time with
// every write. A modification time ahead of the clock says nothing of
// when the file was written; the status change time, which the kernel
// sets, tells then.
double secondsSinceWritten(const timespec& modified, const timespec& changed);

// A file's time (st_mtim) in nanoseconds, for comparing it whole.
long long nanosecondsOf(const timespec& time);
