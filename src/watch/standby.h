// A standby watcher (standby = yes): started while another watcher holds
// the drop folder, it waits for the folder's lock instead of exiting, and
// takes the folder over, its leftover runs included, within a second or
// two of the holder's end. Meanwhile it says so once in the log and keeps
// a note in the staging area, locked while it lives, which status lists.
#pragma once
#include <string>
#include <vector>

#include "watch/watcher.h"

// How a stand-by ended.
enum class StandbyEnd {
    Locked,    // the lock is this watcher's now: it goes on as at a start
    Stopped,   // a SIGTERM or SIGINT came first
    Failed,    // the lock file can no longer be used (named in the log)
};

// Waits for the drop folder's lock, whose holder is holder; reads the
// signals from signalFd meanwhile. The lock is in watcher.dropLock once it
// returns Locked.
StandbyEnd standBy(Watcher& watcher, int signalFd, const std::string& holder);

// The watchers that stand by for the drop folder of the staging area at
// stagingPath, as their notes name them (those whose process still holds
// its note's lock).
std::vector<std::string> standingBy(const std::string& stagingPath);
