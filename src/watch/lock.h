// One watcher per drop folder, and one that files away what an earlier
// watcher left in a working directory. The lock is an fcntl(2) lock on a
// file in the folder itself, so a second watcher finds it whether it runs
// on this machine or on another one that shares the folder; the file names
// the holder (process, host, start time) for the one that is refused.
#pragma once
#include <string>

constexpr const char* LockFileName = ".kelvora-watch.lock";

// Takes the lock of the folder and keeps it for the life of the process.
// Returns its descriptor, or -1 with holder naming the watcher that has it
// (or why the lock file could not be had).
int lockFolder(const std::string& folder, std::string& holder);
