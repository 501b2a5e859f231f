#include "watch/durable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "common/fd.h"
#include "common/fileio.h"

namespace {

constexpr size_t CopyBufferSize = 64 * 1024;
constexpr off_t WriteBehindBytes = 8 * 1024 * 1024;
constexpr const char* TemporaryPrefix = ".kelvora-tmp-";
constexpr size_t TemporaryNameBytes = 64;

// A temporary name beside name; a delivered name never starts with a dot,
// and a reader of name's ending (a collector of *.prom) never takes it.
std::string temporaryFor(const std::string& name) {
    return TemporaryPrefix + std::to_string(getpid()) + "-" + name.substr(0, TemporaryNameBytes) + ".part";
}

// Write-behind of a copy: each stretch written is handed to the disk at
// once, and the one before it waited for, so that a large copy leaves
// little unwritten for its fsync (which a stop cannot cut short) and does
// not fill the page cache with dirty pages. A file system that cannot do
// this (EINVAL, ENOSYS) is left to its fsync.
void writeBehind(int out, off_t written, off_t& handed) {
    if (written - handed < WriteBehindBytes) return;
    sync_file_range(out, handed, written - handed, SYNC_FILE_RANGE_WRITE);
    if (handed >= WriteBehindBytes) {
        sync_file_range(out, handed - WriteBehindBytes, WriteBehindBytes,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    handed = written;
}

// Writes all of in's remaining bytes to out, written behind as it goes;
// with stop, it stops (ECANCELED) when asked to, between two pieces.
bool pump(int in, int out, const std::atomic<bool>* stop = nullptr) {
    thread_local unsigned char buffer[CopyBufferSize];
    off_t written = 0;
    off_t handed = 0;
    for (;;) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            errno = ECANCELED;
            return false;
        }
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!writeAll(out, buffer, static_cast<size_t>(got))) return false;
        written += got;
        writeBehind(out, written, handed);
    }
}

// A new file in folder, for writing, with the run files' mode.
UniqueFd createFile(int folder, const std::string& name) {
    UniqueFd fd(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RunFileMode));
    if (fd.valid() && fchmod(fd.get(), RunFileMode) != 0) {
        fd.reset();
        unlinkat(folder, name.c_str(), 0);
    }
    return fd;
}

// Flushes and closes fd, then renames temporary over name and flushes the
// folder; the temporary file goes when a step failed.
bool finishFile(UniqueFd fd, bool written, int folder, const std::string& temporary, const std::string& name) {
    written = written && fsync(fd.get()) == 0;
    written = fd.close() && written;
    if (written && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0 && syncFolder(folder)) return true;
    const int error = errno;
    unlinkat(folder, temporary.c_str(), 0);
    errno = error;
    return false;
}

bool copyEntries(int from, int to);

// Copies one entry of the folder from into to: a file or a folder.
bool copyEntry(int from, int to, const char* name) {
    struct stat info;
    if (fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(info.st_mode)) return copyTree(from, name, to, name);
    if (!S_ISREG(info.st_mode)) return true;   // nothing else is ever kept in a run folder
    UniqueFd in(openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return false;
    UniqueFd out = createFile(to, name);
    const bool copied = out.valid() && pump(in.get(), out.get()) && fsync(out.get()) == 0;
    return out.close() && copied;
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

bool makeFolder(int folder, const std::string& name, mode_t mode, ExistingFolder existing) {
    const bool take = existing == ExistingFolder::Take;
    if (mkdirat(folder, name.c_str(), mode) != 0 && !(take && errno == EEXIST)) return false;
    UniqueFd made(openFolder(folder, name));
    return made.valid() && (fchmod(made.get(), mode) == 0 || take);
}

bool makeFolderIn(const std::string& path, const std::string& name, mode_t mode, ExistingFolder existing) {
    const UniqueFd parent(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent.valid() && makeFolder(parent.get(), name, mode, existing) && syncFolder(parent.get());
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
    return createFile(folder, temporary).release();
}

bool finishTemporary(int fd, bool written, int folder, const std::string& temporary, const std::string& name) {
    return finishFile(UniqueFd(fd), written, folder, temporary, name);
}

bool writeFileDurably(int folder, const std::string& name, const std::string& text) {
    std::string temporary;
    UniqueFd fd(createTemporary(folder, name, temporary));
    if (!fd.valid()) return false;
    const bool written = writeAll(fd.get(), text.data(), text.size());
    return finishFile(std::move(fd), written, folder, temporary, name);
}

bool writeFileQuickly(int folder, const std::string& name, const std::string& text) {
    std::string temporary;
    UniqueFd fd(createTemporary(folder, name, temporary));
    if (!fd.valid()) return false;
    const bool written = writeAll(fd.get(), text.data(), text.size()) && fd.close();
    if (written && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) return true;
    const int error = errno;
    unlinkat(folder, temporary.c_str(), 0);
    errno = error;
    return false;
}

bool copyDurably(int in, int folder, const std::string& name, const std::atomic<bool>* stop) {
    std::string temporary;
    UniqueFd fd(createTemporary(folder, name, temporary));
    if (!fd.valid()) return false;
    const bool copied = lseek(in, 0, SEEK_SET) == 0 && pump(in, fd.get(), stop);
    return finishFile(std::move(fd), copied, folder, temporary, name);
}

bool removeTree(int folder, const std::string& name) {
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(info.st_mode)) return unlinkat(folder, name.c_str(), 0) == 0;
    UniqueFd inner(openFolder(folder, name));
    std::vector<std::string> names;
    bool removed = inner.valid() && listFolder(inner.get(), names);
    for (const std::string& child : names) removed = removeTree(inner.get(), child) && removed;
    inner.reset();
    return removed && unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0;
}

bool copyTree(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
    UniqueFd source(openFolder(fromFolder, from));
    if (!source.valid()) return false;
    bool copied = makeFolder(toFolder, to, RunFolderMode, ExistingFolder::Refuse);
    UniqueFd target(copied ? openFolder(toFolder, to) : -1);
    copied = target.valid() && copyEntries(source.get(), target.get()) && syncFolder(target.get());
    const bool opened = target.valid();
    target.reset();
    if (!copied && opened) {
        const int error = errno;
        removeTree(toFolder, to);
        errno = error;
    }
    return copied && syncFolder(toFolder);
}

bool finishTemporaryUnsynced(int fd, bool written, int folder, const std::string& temporary, const std::string& name) {
    UniqueFd file(fd);
    written = written && fsync(file.get()) == 0;
    written = file.close() && written;
    if (written && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) return true;
    const int error = errno;
    unlinkat(folder, temporary.c_str(), 0);
    errno = error;
    return false;
}
