// Scanning the drop folder and letting its files settle: each file from the
// first sight of it until it is taken, and when it counts as complete. inotify reports a file that
// is written (it stays open until it is closed or moved in); a rescan of the
// folder finds what inotify misses on network file systems. A file is
// complete once it is not open and its size and modification time have not
// changed for the settle time.
#pragma once
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/fd.h"

struct DropFile {
    off_t size = -1;
    timespec modified{};
    timespec statusChanged{};   // st_ctim: a sender cannot set it back
    nlink_t links = 0;        // more than one: it may have been linked in whole
    ino_t inode = 0;
    double stableSince = 0;   // monotonic seconds at the last change seen
    bool open = false;        // inotify saw it written and not yet closed
    bool held = false;        // not to be taken again until it changes
    bool laterRun = false;    // --once: held for the next run, which takes it (it settles or is written still)
    bool takeFailed = false;  // could not be taken: tried again at each rescan, its type code waits
    std::string failure;      // why, as last named
    bool halfSaid = false;    // named as a file without its marker, or a marker without its file
    unsigned seenIn = 0;      // the number of the last rescan that found it
    // What its name is under the configuration, noted once per configuration
    // (pair.h), for the name alone decides it.
    unsigned kindNotedFor = 0;   // the number of the configuration it was noted for; 0: not yet
    int section = -1;            // its section's index in the configuration's rules; -1: none
    bool marker = false;         // the name is a marker's under some section
};

// An entry that is no regular file, as the last look found it.
struct NotAFile {
    std::string kind;       // "a symbolic link", "a FIFO", ...
    unsigned seenIn = 0;    // the number of the last rescan that found it
};

struct DropQueue {
    std::string folder;
    UniqueFd inotifyFd;
    bool overflowed = false;                 // inotify lost events: rescan
    std::map<std::string, DropFile> files;   // by name
    std::map<std::string, NotAFile> notFiles;   // entries that are no regular file, named once each
    std::map<std::string, ino_t> named;   // entries named as never taken, kept across starts in namedPath
    std::string namedPath;
    bool namedChanged = false;            // to be written at the end of the look at the folder
    unsigned rescans = 0;                 // rescans so far: what one did not find is gone
};

// Whether the entry (name and inode) is named for the first time as one
// the watcher will not take; the answer outlives the process.
bool firstSight(DropQueue& queue, const std::string& name, ino_t inode);

// Reads the names an earlier watcher named from path.
void loadNamed(DropQueue& queue, const std::string& path);

// Writes them, when they changed: once per look at the folder, however
// many entries a sender put there.
void saveNamedIfChanged(DropQueue& queue);

// Names that are never taken: hidden files and the usual names of a
// transfer in progress (".tmp", ".part", ".filepart").
bool isTransferName(const char* name);

// Starts watching folder with inotify; false (with errno) when it cannot.
bool watchFolder(DropQueue& queue, const std::string& folder);

// Reads the inotify events that are waiting; now is the monotonic time.
void readEvents(DropQueue& queue, double now);

// Lists the folder and notes every change of size or modification time.
void rescanFolder(DropQueue& queue, double now);

// How a file's settling is timed: by what the watcher saw of it (inotify
// and the rescans, on the monotonic clock), or, for --once, which has not
// watched it, by its own times against the wall clock.
enum class SettleClock { Watched, FileTimes };

// The files complete at monotonic time now, oldest first (modification
// time, then name): unchanged for settle seconds.
std::vector<std::string> completeFiles(const DropQueue& queue, double now, int settle, SettleClock clock);

// How long the file has not changed.
double secondsUnchanged(const DropFile& file, double now, SettleClock clock);

// The earliest monotonic time after now at which a file still settling may
// become complete; -1 when none is settling. A file complete already is
// not counted: it waits for its marker, its turn or its type code, whose
// coming is an event, and the loop would spin on it.
double nextCompletion(const DropQueue& queue, int settle, double now);

// An entry that is no regular file (kind: "a symbolic link", "a FIFO",
// ...) is never opened as one and never taken; it is named on standard
// error once, and again only after it went away and came back.
void noteNotAFile(DropQueue& queue, const std::string& name, const std::string& kind);

// The file is no longer in the folder's list (it was taken).
void forgetFile(DropQueue& queue, const std::string& name);
