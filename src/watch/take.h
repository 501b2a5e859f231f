// Taking a file out of the drop folder, which its senders can write at any
// moment: the entry is opened once, without following a link and without
// blocking, and must be a regular file without holes. Its bytes then go
// out of the senders' reach: a sender who keeps the file open, or a link
// to it elsewhere, could still write the file itself, so the run gets a
// flushed copy made from the descriptor, and the drop entry goes only
// while it is still that file. Only a file of the watcher's own user with
// no other link moves itself, with a rename that replaces nothing (and
// what arrives must be the file opened). Nothing is read through the name
// again.
//
// The run folder is made (locked) in the staging area first, the file's
// marker copied into it, the step recorded, then the file moved in. A file
// that cannot be taken stays in the drop folder, named, and no later file
// of its type code is taken before it.
#pragma once
#include <string>
#include <sys/stat.h>

#include "watch/watcher.h"

// Takes one complete file and goes on with its checks and import (a job
// added); false when it stays in the drop folder.
bool takeFile(Watcher& watcher, const std::string& name, const FileRule& rule, double now);

// Once the file is taken, its marker leaves the drop folder (while its name
// still holds the marker that was copied).
void removeMarkerFromDrop(Watcher& watcher, const Job& job);

// Whether the run may keep the delivered file itself rather than a copy:
// it is the watcher's user's own, and no other name reaches it.
bool isOwnFile(const struct stat& info);

// The copy made across file systems is in the run folder: removes the drop
// entry while it is still the file copied. For a crash between the two.
bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode);
