#include "watch/standby.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/folder.h"
#include "watch/lock.h"
#include "watch/notify.h"
#include "watch/runfolder.h"

namespace {

constexpr int TryEveryMilliseconds = 1000;   // a holder's end is seen within this much
constexpr const char* NotePrefix = ".standby-";
constexpr mode_t NoteMode = 0600;
constexpr size_t NoteRoom = 512;
constexpr size_t HostNameRoom = 256;

// The note of this standby in the staging area: made new, locked for as
// long as this process lives, and removed when it stands by no more.
struct StandbyNote {
    UniqueFd folder;
    UniqueFd file;
    std::string name;
    ~StandbyNote() {
        if (file.valid()) unlinkat(folder.get(), name.c_str(), 0);
    }
};

// Makes the note; a standby without one still stands by (status then does
// not list it), so a failure is only named.
void writeNote(const Watcher& watcher, StandbyNote& note) {
    if (!makeFolderIn(watcher.config.workdir, StagingFolderName, StagingMode, ExistingFolder::Take)) return;
    note.folder.reset(openFolder(AT_FDCWD, pathIn(watcher.config.workdir, StagingFolderName)));
    // Named by host and process: standbys on two hosts share the staging
    // area over NFS, and their process numbers may be the same.
    char host[HostNameRoom] = "";
    gethostname(host, sizeof host - 1);
    note.name = NotePrefix + std::string(host) + "-" + std::to_string(static_cast<long>(getpid()));
    if (!note.folder.valid()) return;
    unlinkat(note.folder.get(), note.name.c_str(), 0);   // a note of an ended process of this host and number
    note.file.reset(openat(note.folder.get(), note.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NoteMode));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const std::string text = watcherIdentity() + ", standing by since " + utcText(wallClockNow()) + "\n";
    if (!note.file.valid() || fcntl(note.file.get(), F_SETLK, &lock) != 0 ||
        write(note.file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        diagnoseAt(Severity::Warning, "cannot keep the note of this standby in %s: %s; status will not list it",
                 pathIn(watcher.config.workdir, StagingFolderName).c_str(), strerror(errno));
    }
}

// Whether a stop came: SIGTERM or SIGINT among the signals read.
bool stopSignalled(int signalFd) {
    signalfd_siginfo info;
    bool stop = false;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        stop = stop || info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT;
    }
    return stop;
}

}  // namespace

StandbyEnd standBy(Watcher& watcher, int signalFd, const std::string& holder) {
    const char* drop = watcher.config.drop.c_str();
    diagnoseAt(Severity::Warning, "%s is watched already by %s; this one stands by (standby = yes) and takes it over when that one ends",
             drop, holder.c_str());
    StandbyNote note;
    writeNote(watcher, note);
    notifyStandingBy(holder, monotonicNow());
    for (;;) {
        notifyStandbyTurn(monotonicNow());
        pollfd wait = {signalFd, POLLIN, 0};
        if (poll(&wait, 1, TryEveryMilliseconds) > 0 && stopSignalled(signalFd)) return StandbyEnd::Stopped;
        std::string now;
        const LockResult result = lockFolder(watcher.dropFd.get(), watcher.config.drop, watcher.dropLock, now);
        if (result == LockResult::Busy) continue;
        if (result == LockResult::Unusable) {
            diagnoseAt(Severity::Error, "%s", now.c_str());
            return StandbyEnd::Failed;
        }
        diagnose("%s: the watcher that held it has ended; this one takes it over", drop);
        return StandbyEnd::Locked;
    }
}

std::vector<std::string> standingBy(const std::string& stagingPath) {
    std::vector<std::string> found;
    const UniqueFd folder(openFolder(AT_FDCWD, stagingPath));
    std::vector<std::string> names;
    if (!folder.valid() || !listFolder(folder.get(), names)) return found;
    for (const std::string& name : names) {
        if (name.compare(0, strlen(NotePrefix), NotePrefix) != 0) continue;
        const UniqueFd note(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        if (!note.valid() || fcntl(note.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) continue;
        char text[NoteRoom] = "";
        const ssize_t got = pread(note.get(), text, sizeof text - 1, 0);
        const std::string line = got > 0 ? std::string(text, static_cast<size_t>(got)) : name;
        found.push_back(line.substr(0, line.find('\n')));
    }
    return found;
}
