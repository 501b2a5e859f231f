#include "watch/take.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include "watch/crashpoint.h"
#include "watch/durable.h"

namespace {

constexpr int DropOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// How to let the watcher read what senders write, whatever their umask.
std::string readingHint() {
    const passwd* user = getpwuid(geteuid());
    const std::string name = user != nullptr ? user->pw_name : std::to_string(geteuid());
    return " (the sender's umask keeps the watcher from reading it: chmod g+r the file, and give the drop folder "
           "a default ACL, setfacl -d -m u:" + name + ":r)";
}

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// What came into the run folder is not the file that was opened: the
// sender swapped it between the open and the rename. It goes back where it
// came from, unread; when that name is taken again, a non-file is removed
// (it holds no data) and a file stays beside the run's (the caller files it).
bool putBack(int drop, const std::string& name, int folder, const std::string& target) {
    if (renameNoReplace(folder, target, drop, name)) return syncFolder(drop) && syncFolder(folder);
    struct stat info;
    if (fstatat(folder, target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) {
        return unlinkat(folder, target.c_str(), 0) == 0;
    }
    return false;
}

// Whether the file is as it was: size, modification and status change time.
bool sameContentTimes(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// A flushed copy from the descriptor, of a file that did not change while
// it was copied; then the drop entry goes while it is still that file.
TakeResult copyIntoRun(int drop, const std::string& name, int fd, const struct stat& info, int folder,
                       const std::string& target, std::string& reason) {
    if (!copyDurably(fd, folder, target)) {
        reason = std::string("cannot copy it into the staging area: ") + strerror(errno);
        return TakeResult::Failed;
    }
    struct stat after;
    if (fstat(fd, &after) != 0 || !sameContentTimes(info, after)) {
        unlinkat(folder, target.c_str(), 0);   // it changed while it was copied: taken again once it settles
        syncFolder(folder);
        return TakeResult::Gone;
    }
    crashPoint("copied");
    if (!removeCopiedEntry(drop, name, info.st_dev, info.st_ino)) {
        const int error = errno;
        unlinkat(folder, target.c_str(), 0);
        syncFolder(folder);
        if (error == ESTALE) return TakeResult::Gone;
        reason = std::string("cannot remove it from the drop folder after copying it: ") + strerror(error);
        return TakeResult::Failed;
    }
    return TakeResult::Taken;
}

}  // namespace

int openDropEntry(int drop, const std::string& name, struct stat& info, TakeResult& result, std::string& reason) {
    if (fstatat(drop, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        result = TakeResult::Gone;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        result = TakeResult::NotAFile;
        reason = kindOf(info.st_mode);
        return -1;
    }
    int fd = openat(drop, name.c_str(), DropOpenFlags);
    if (fd < 0) {
        result = errno == ENOENT ? TakeResult::Gone : errno == ELOOP ? TakeResult::NotAFile : TakeResult::Failed;
        reason = errno == ELOOP ? "a symbolic link" : std::string("cannot open it: ") + strerror(errno);
        if (errno == EACCES) reason += readingHint();
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result = TakeResult::NotAFile;
        reason = kindOf(info.st_mode);
        close(fd);
        return -1;
    }
    const off_t hole = lseek(fd, 0, SEEK_HOLE);
    if (hole >= 0 && hole < info.st_size) {
        result = TakeResult::HasHoles;
        reason = "a file with holes: it was never written whole";
        close(fd);
        return -1;
    }
    result = TakeResult::Taken;
    return fd;
}

Writers keepWritersOut(int fd, int& error) {
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Writers::None;
    error = errno;
    return error == EAGAIN ? Writers::Writing : Writers::Unknown;
}

void releaseWriters(int fd) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
}

bool isOwnFile(const struct stat& info) {
    return info.st_uid == geteuid() && info.st_nlink == 1;
}

TakeResult moveIntoRun(int drop, const std::string& name, int fd, const struct stat& info, int folder,
                       const std::string& target, std::string& reason) {
    if (!isOwnFile(info)) return copyIntoRun(drop, name, fd, info, folder, target, reason);
    if (!renameNoReplace(drop, name, folder, target)) {
        if (errno == EXDEV) return copyIntoRun(drop, name, fd, info, folder, target, reason);
        if (errno == ENOENT) return TakeResult::Gone;
        reason = std::string("cannot move it into the staging area: ") + strerror(errno);
        return TakeResult::Failed;
    }
    if (!isSameFile(folder, target, info)) {
        if (putBack(drop, name, folder, target)) return TakeResult::Gone;
        reason = "it was replaced while it was taken, and what replaced it cannot go back";
        return TakeResult::Failed;
    }
    if (!syncFolder(folder) || !syncFolder(drop)) {
        reason = std::string("cannot flush the move: ") + strerror(errno);
        return TakeResult::Failed;
    }
    return TakeResult::Taken;
}

bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode) {
    struct stat info {};
    info.st_dev = device;
    info.st_ino = inode;
    if (!isSameFile(drop, name, info)) {
        errno = ESTALE;
        return false;
    }
    return unlinkat(drop, name.c_str(), 0) == 0 && syncFolder(drop);
}
