// The watcher's two clocks. The monotonic one (seconds since the start,
// which no one can set back) times every wait: settling, retries, outages,
// hooks. The wall clock names things (the run folders' time stamps, the
// notes and the log) and dates the filed runs; a wall time is never what a
// wait is measured by.
#pragma once
#include <ctime>
#include <string>

// Seconds on the monotonic clock since the watcher started.
double monotonicNow();

// The wall clock, in seconds since 1970.
time_t wallClockNow();

// A wall time as the run folders name it: 20250131T235959Z (UTC).
std::string utcStamp(time_t time);

// A wall time for people to read: "2025-01-31 23:59:59 UTC".
std::string utcText(time_t time);

// The UTC time of such a stamp; -1 when it is none.
time_t stampTime(const std::string& stamp);

// A file's time (st_mtim) in nanoseconds, for comparing it whole.
long long nanosecondsOf(const timespec& time);
