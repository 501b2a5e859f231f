// The order of a type code's files. They are imported in the order of the
// modification times they were delivered with (then of their names), so a
// file that keeps an old time (cp -p, rsync -t, scp -p) is not overtaken:
// no file is taken while an older one of its type code is still settling
// or waits for its marker. One that comes only after a newer file of its
// type code was committed would bring older data back over newer: it is
// not imported, and goes to failed/ for a person to decide.
#pragma once
#include <ctime>
#include <map>
#include <set>
#include <string>

#include "watch/watcher.h"

// A file's place in the order: its modification time, then its name.
struct OrderKey {
    long long modified = 0;   // nanoseconds
    std::string name;
};

// By type code: the first file of the drop folder that cannot be taken
// yet (still settling, open, or waiting for its marker), given the files
// complete now.
std::map<std::string, OrderKey> filesNotReady(const Watcher& watcher, const std::set<std::string>& complete);

// Whether an older file of the rule's type code is not ready yet, so that
// the file name must wait for it.
bool olderFileWaits(const Watcher& watcher, const std::map<std::string, OrderKey>& notReady, const FileRule& rule,
                    const std::string& name);

// Whether the job's file is older than the last file committed for its
// type code (as the note of the last imports has it); reason then says so,
// naming both, and how to import it all the same.
bool olderThanImported(const Watcher& watcher, const Job& job, std::string& reason);
