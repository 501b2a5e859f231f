#include "watch/folder.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "common/fd.h"

int openFolder(int folder, const std::string& name) {
    return openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The listing reads its own descriptor of the folder, so that the caller's
// keeps its place and stays open.
bool listFolder(int folder, std::vector<std::string>& names) {
    UniqueFd listed(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    UniqueDir dir(listed.valid() ? fdopendir(listed.get()) : nullptr);
    if (!dir.valid()) return false;
    listed.release();   // the stream owns it now
    rewinddir(dir.get());
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    return errno == 0;
}

bool isSameFile(int folder, const std::string& name, const struct stat& info) {
    struct stat now;
    return fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
           now.st_ino == info.st_ino;
}

const char* entryKind(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

bool hasEntry(int folder, const std::string& name) {
    return faccessat(folder, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

bool readSmallFile(int folder, const std::string& name, size_t most, std::string& text) {
    UniqueFd fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return false;
    text.assign(most + 1, '\0');
    size_t used = 0;
    ssize_t got = 0;
    while (used < text.size() && (got = read(fd.get(), &text[used], text.size() - used)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        used += static_cast<size_t>(got);
    }
    text.resize(used);
    if (got >= 0 && used > most) errno = EFBIG;
    return got >= 0 && used <= most;
}
