#include "watch/lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t HolderTextSize = 256;
constexpr size_t HostNameSize = 256;

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
    char host[HostNameSize] = "";
    gethostname(host, sizeof host - 1);
    char started[32] = "";
    time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", &utc);
    char text[HolderTextSize];
    int length = snprintf(text, sizeof text, "kelvora-watch pid %ld on host %s, started %s\n",
                          static_cast<long>(getpid()), host, started);
    if (ftruncate(fd, 0) != 0 || length <= 0) return;
    ssize_t written = pwrite(fd, text, static_cast<size_t>(length), 0);
    (void)written;   // the lock holds without its text
}

}  // namespace

int lockFolder(const std::string& folder, std::string& holder) {
    const std::string path = folder + "/" + LockFileName;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        holder = "cannot open the lock file " + path + ": " + strerror(errno);
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        const int reason = errno;
        holder = reason == EACCES || reason == EAGAIN ? holderText(fd)
                                                      : "cannot lock " + path + ": " + strerror(reason);
        close(fd);
        return -1;
    }
    writeHolder(fd);
    return fd;
}
