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
#pragma once
#include <string>
#include <sys/stat.h>

enum class TakeResult {
    Taken,      // the file is in the run folder and no longer in the drop folder
    NotAFile,   // a symbolic link, FIFO, socket, device or folder: never taken
    HasHoles,   // a regular file with holes: never written whole, and a copy would fill the disk
    Gone,       // it went, or was replaced, before it could be taken: look again later
    Failed,     // it cannot be moved (reason); it stays in the drop folder
};

// Opens the entry name of the drop folder; on Taken-so-far returns the
// descriptor (>= 0) with its facts in info, else -1 and the result.
int openDropEntry(int drop, const std::string& name, struct stat& info, TakeResult& result, std::string& reason);

// Moves the opened file (fd, info) from the drop folder into folder as
// target. Taken, or what kept it.

// Whether a process on this machine has the file open for writing, told
// by a read lease: the kernel grants one only while no one does. While the
// lease is held (until releaseWriters), a writer that opens the file waits,
// so the copy is of bytes no one changes. Unknown where leases are not to
// be had (another machine's file system, no CAP_LEASE for another user's
// file): then the settle time alone decides.
enum class Writers { None, Writing, Unknown };
Writers keepWritersOut(int fd, int& error);
void releaseWriters(int fd);

// Whether the run may keep the delivered file itself rather than a copy:
// it is the watcher's user's own, and no other name reaches it.
bool isOwnFile(const struct stat& info);
TakeResult moveIntoRun(int drop, const std::string& name, int fd, const struct stat& info, int folder,
                       const std::string& target, std::string& reason);

// The copy made across file systems is in the run folder: removes the drop
// entry while it is still the file copied. For a crash between the two.
bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode);
