#include "watch/durable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "common/fileio.h"

namespace {

constexpr size_t CopyBufferSize = 64 * 1024;
constexpr const char* TemporaryPrefix = ".kelvora-tmp-";

// A temporary name beside name; a delivered name never starts with a dot,
// and a reader of name's ending (a collector of *.prom) never takes it.
std::string temporaryFor(const std::string& name) {
    return TemporaryPrefix + std::to_string(getpid()) + "-" + name.substr(0, 64) + ".part";
}

// Keeps errno across the cleaning up after a failed step.
struct SavedError {
    int error = errno;
    ~SavedError() { errno = error; }
};

// Writes all of in's remaining bytes to out.
bool pump(int in, int out) {
    static unsigned char buffer[CopyBufferSize];
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!writeAll(out, buffer, static_cast<size_t>(got))) return false;
    }
}

// A new file in folder, for writing, with the run files' mode.
int createFile(int folder, const std::string& name) {
    int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RunFileMode);
    if (fd >= 0 && fchmod(fd, RunFileMode) != 0) {
        SavedError saved;
        close(fd);
        unlinkat(folder, name.c_str(), 0);
        return -1;
    }
    return fd;
}

// Flushes and closes fd, then renames temporary over name and flushes the
// folder; the temporary file goes when a step failed.
bool finishFile(int fd, bool written, int folder, const std::string& temporary, const std::string& name) {
    written = written && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0 && syncFolder(folder)) return true;
    SavedError saved;
    unlinkat(folder, temporary.c_str(), 0);
    return false;
}

bool copyEntries(int from, int to);

// Copies one entry of the folder from into to: a file or a folder.
bool copyEntry(int from, int to, const char* name) {
    struct stat info;
    if (fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(info.st_mode)) return copyTree(from, name, to, name);
    if (!S_ISREG(info.st_mode)) return true;   // nothing else is ever kept in a run folder
    int in = openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    int out = createFile(to, name);
    const bool copied = out >= 0 && pump(in, out) && fsync(out) == 0;
    SavedError saved;
    close(in);
    return out >= 0 && close(out) == 0 && copied;
}

bool copyEntries(int from, int to) {
    std::vector<std::string> names;
    if (!listFolder(from, names)) return false;
    for (const std::string& name : names) {
        if (!copyEntry(from, to, name.c_str())) return false;
    }
    return true;
}

}  // namespace

bool syncFolder(int folder) {
    return fsync(folder) == 0 || errno == EINVAL;   // a file system that cannot sync folders has nothing to flush
}

int openFolder(int folder, const std::string& name) {
    return openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool makeFolder(int folder, const std::string& name, mode_t mode, bool existing) {
    if (mkdirat(folder, name.c_str(), mode) != 0 && !(existing && errno == EEXIST)) return false;
    int fd = openFolder(folder, name);
    if (fd < 0) return false;
    const bool made = fchmod(fd, mode) == 0 || existing;
    close(fd);
    return made;
}

bool renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
    if (renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat info;
    if (fstatat(toFolder, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0;
}

int createTemporary(int folder, const std::string& name, std::string& temporary) {
    temporary = temporaryFor(name);
    unlinkat(folder, temporary.c_str(), 0);
    return createFile(folder, temporary);
}

bool finishTemporary(int fd, bool written, int folder, const std::string& temporary, const std::string& name) {
    return finishFile(fd, written, folder, temporary, name);
}

bool writeFileDurably(int folder, const std::string& name, const std::string& text) {
    std::string temporary;
    int fd = createTemporary(folder, name, temporary);
    if (fd < 0) return false;
    return finishFile(fd, writeAll(fd, text.data(), text.size()), folder, temporary, name);
}

bool copyDurably(int in, int folder, const std::string& name) {
    std::string temporary;
    int fd = createTemporary(folder, name, temporary);
    if (fd < 0) return false;
    const bool copied = lseek(in, 0, SEEK_SET) == 0 && pump(in, fd);
    return finishFile(fd, copied, folder, temporary, name);
}

bool removeTree(int folder, const std::string& name) {
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(info.st_mode)) return unlinkat(folder, name.c_str(), 0) == 0;
    int inner = openFolder(folder, name);
    std::vector<std::string> names;
    bool removed = inner >= 0 && listFolder(inner, names);
    for (const std::string& child : names) removed = removeTree(inner, child) && removed;
    if (inner >= 0) close(inner);
    return removed && unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0;
}

bool copyTree(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
    int source = openFolder(fromFolder, from);
    if (source < 0) return false;
    bool copied = makeFolder(toFolder, to, RunFolderMode, false);
    int target = copied ? openFolder(toFolder, to) : -1;
    copied = target >= 0 && copyEntries(source, target) && syncFolder(target);
    SavedError saved;
    close(source);
    if (target >= 0) close(target);
    if (!copied && target >= 0) removeTree(toFolder, to);
    return copied && syncFolder(toFolder);
}

bool isSameFile(int folder, const std::string& name, const struct stat& info) {
    struct stat now;
    return fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
           now.st_ino == info.st_ino;
}

bool listFolder(int folder, std::vector<std::string>& names) {
    int listed = dup(folder);
    DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
    if (dir == nullptr) {
        SavedError saved;
        if (listed >= 0) close(listed);
        return false;
    }
    rewinddir(dir);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    const bool read = errno == 0;
    closedir(dir);
    return read;
}

bool readSmallFile(int folder, const std::string& name, size_t most, std::string& text) {
    int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    text.assign(most + 1, '\0');
    size_t used = 0;
    ssize_t got = 0;
    while (used < text.size() && (got = read(fd, &text[used], text.size() - used)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        used += static_cast<size_t>(got);
    }
    SavedError saved;
    close(fd);
    text.resize(used);
    if (got >= 0 && used > most) saved.error = EFBIG;
    return got >= 0 && used <= most;
}
