// Taking a file out of the drop folder, which its senders can write at any
// moment: the entry is opened once, without following a link and without
// blocking, and must be a regular file; that very file (device and inode)
// then moves into the run folder, out of the senders' reach, with a rename
// that replaces nothing, or across file systems as a flushed copy made from
// the descriptor, after which the drop entry goes only while it is still
// that file. Nothing is read through the name again.
#pragma once
#include <string>
#include <sys/stat.h>

enum class TakeResult {
    Taken,      // the file is in the run folder and no longer in the drop folder
    NotAFile,   // a symbolic link, FIFO, socket, device or folder: never taken
    Gone,       // it went, or was replaced, before it could be taken: look again later
    Failed,     // it cannot be moved (reason); it stays in the drop folder
};

// Opens the entry name of the drop folder; on Taken-so-far returns the
// descriptor (>= 0) with its facts in info, else -1 and the result.
int openDropEntry(int drop, const std::string& name, struct stat& info, TakeResult& result, std::string& reason);

// Moves the opened file (fd, info) from the drop folder into folder as
// target. Taken, or what kept it.
TakeResult moveIntoRun(int drop, const std::string& name, int fd, const struct stat& info, int folder,
                       const std::string& target, std::string& reason);

// The copy made across file systems is in the run folder: removes the drop
// entry while it is still the file copied. For a crash between the two.
bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode);
