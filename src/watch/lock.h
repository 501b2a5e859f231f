// One watcher per drop folder. The lock is an fcntl(2) lock on a file in
// the folder itself, so a second watcher finds it whether it runs on this
// machine or on another one that shares the folder; the file names the
// holder (process, host, start time) for the one that is refused. Senders
// can write the drop folder, so the lock file is never followed, never
// created over something else, and used only when it is a plain file of the
// watcher's own user with one link.
#pragma once
#include <string>

#include "common/fd.h"

constexpr const char* LockFileName = ".kelvora-watch.lock";

enum class LockResult { Held, Busy, Unusable };

// This process as the lock file and the standby's note name it:
// "kelvora-watch pid N on host H".
std::string watcherIdentity();

// Takes the lock of the folder (given as a descriptor); held keeps the
// lock file's descriptor, and with it the lock, for as long as it lives.
// Busy: another watcher has it (holder names it). Unusable: the lock file
// cannot be used (holder says why and what to do).
LockResult lockFolder(int folder, const std::string& folderPath, UniqueFd& held, std::string& holder);

// A run's lock: flock(2) on its run folder's descriptor. The importer
// inherits the descriptor, so the lock lasts as long as the watcher or its
// importer lives. False when someone else holds it.
bool lockRun(int runFolder);
