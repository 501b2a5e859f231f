// Files and their markers in the drop folder: a file whose section asks
// for a marker is complete only once its marker is there and has settled
// too; a file that waits for its marker longer than marker-wait seconds,
// and a marker whose file does not come, are named once in the log.
#pragma once
#include <set>
#include <string>

#include "watch/watcher.h"

// Whether the file's marker is among the complete names (or it needs none).
bool markerReady(const FileRule& rule, const std::string& name, const std::set<std::string>& complete);

// Whether another file in the drop folder has the same marker (two files
// with one stem under {stem}): the marker cannot say which is whole, so
// neither is taken, and both are named once.
bool markerShared(Watcher& watcher, const FileRule& rule, const std::string& name);

// Names, once each, the halves that wait longer than their section allows.
void nameMissingHalves(Watcher& watcher, double now, const std::set<std::string>& complete);
