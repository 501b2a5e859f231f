#include "watch/lock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "watch/clocks.h"

namespace {

constexpr size_t HolderTextSize = 256;
constexpr size_t HostNameSize = 256;
constexpr mode_t LockFileMode = 0644;   // the holder is no secret; others read it to be named
constexpr int OpenFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// What the lock file says of its holder, without its line end.
std::string holderText(int fd) {
    char text[HolderTextSize] = "";
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got <= 0) return "another kelvora-watch (its lock file is empty)";
    text[got] = '\0';
    text[strcspn(text, "\n")] = '\0';
    return text;
}

// Writes this process into the lock file, for the watcher that is refused.
void writeHolder(int fd) {
    const std::string text = watcherIdentity() + ", started " + utcText(wallClockNow()) + "\n";
    if (ftruncate(fd, 0) != 0) return;
    ssize_t written = pwrite(fd, text.data(), std::min(text.size(), HolderTextSize), 0);
    (void)written;   // the lock holds without its text
}

// Opens the lock file without following or creating over anything: an
// existing entry as it is, else a new file (O_EXCL).
int openLockFile(int folder) {
    int fd = openat(folder, LockFileName, OpenFlags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = openat(folder, LockFileName, OpenFlags | O_CREAT | O_EXCL, LockFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
    return openat(folder, LockFileName, OpenFlags);
}

// Why what was opened is no lock file of this watcher; empty when it is.
std::string unfitness(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return strerror(errno);
    char text[128];
    if (!S_ISREG(info.st_mode)) return "it is not a plain file";
    if (info.st_uid != geteuid()) {
        snprintf(text, sizeof text, "it belongs to uid %ld, not to the watcher's uid %ld", static_cast<long>(info.st_uid),
                 static_cast<long>(geteuid()));
        return text;
    }
    if (info.st_nlink != 1) {
        snprintf(text, sizeof text, "it has %ld links: it may be another file linked in", static_cast<long>(info.st_nlink));
        return text;
    }
    return "";
}

std::string whatToDo(const std::string& path) {
    return "; remove it (rm " + path + ") and start the watcher again, and make the drop folder the watcher user's "
           "with the sticky bit (chmod 3770) so that senders cannot put anything in its place";
}

}  // namespace

std::string watcherIdentity() {
    char host[HostNameSize] = "";
    gethostname(host, sizeof host - 1);
    char text[HolderTextSize];
    snprintf(text, sizeof text, "kelvora-watch pid %ld on host %s", static_cast<long>(getpid()), host);
    return text;
}

LockResult lockFolder(int folder, const std::string& folderPath, UniqueFd& held, std::string& holder) {
    const std::string path = folderPath + "/" + LockFileName;
    UniqueFd opened(openLockFile(folder));
    const int fd = opened.get();
    if (!opened.valid()) {
        holder = "the lock file " + path + " cannot be opened: " + strerror(errno) +
                 (errno == ELOOP ? " (it is a symbolic link)" : "") + whatToDo(path);
        return LockResult::Unusable;
    }
    const std::string unfit = unfitness(fd);
    if (!unfit.empty()) {
        holder = "the lock file " + path + " cannot be used: " + unfit + whatToDo(path);
        return LockResult::Unusable;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        const int reason = errno;
        const bool busy = reason == EACCES || reason == EAGAIN;
        holder = busy ? holderText(fd) : "cannot lock " + path + ": " + strerror(reason);
        return busy ? LockResult::Busy : LockResult::Unusable;
    }
    writeHolder(fd);
    held = std::move(opened);
    return LockResult::Held;
}

bool lockRun(int runFolder) {
    while (flock(runFolder, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}
