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

enum class TakeResult {
    Taken,      // the file is in the run folder and no longer in the drop folder
    Copying,    // it is being copied into the run folder, beside the loop
    NotAFile,   // a symbolic link, FIFO, socket, device or folder: never taken
    HasHoles,   // a regular file with holes: never written whole, and a copy would fill the disk
    Gone,       // it went, or was replaced, before it could be taken (or the copy was stopped): look again later
    Failed,     // it cannot be moved (reason); it stays in the drop folder
};

// What a copy beside the loop found, and the run folder's descriptor it
// wrote into.
struct CopyOutcome {
    UniqueFd folder;
    TakeResult result = TakeResult::Failed;
    std::string reason;
    bool kept = false;   // the file is in the run folder (a copy that failed half way may be)
    bool stopped = false;   // the watcher stopped it: the file stays in the drop folder
};

// Takes one complete file and goes on with its checks and import (a job
// added); false when it stays in the drop folder. A file that is not the
// watcher's own is copied beside the loop: its job waits in Phase::Taking.
bool takeFile(Watcher& watcher, const std::string& name, const FileRule& rule, double now);

// The copy has ended (job.work is done): the job goes on with its checks,
// or the file stays in the drop folder. True when the job is over.
bool afterCopy(Watcher& watcher, Job& job, double now);

// Once the file is taken, its marker leaves the drop folder (while its name
// still holds the marker that was copied).
void removeMarkerFromDrop(Watcher& watcher, const Job& job);

// Whether the run may keep the delivered file itself rather than a copy:
// it is the watcher's user's own, and no other name reaches it.
bool isOwnFile(const struct stat& info);

// The copy made across file systems is in the run folder: removes the drop
// entry while it is still the file copied. For a crash between the two.
bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode);
