#include "watch/archive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/charset.h"
#include "common/fileio.h"

namespace {

constexpr mode_t FolderMode = 0755;
constexpr mode_t FileMode = 0644;
constexpr size_t CopyBufferSize = 64 * 1024;
constexpr int MaxFolderNumber = 1000;
constexpr std::string_view OutputEnding = ".cp1252";
constexpr const char* ConvertedEnding = ".txt";

// Closes both descriptors; false when the closing of the written one failed.
bool closeBoth(int in, int out) {
    close(in);
    return close(out) == 0;
}

// Copies from into the new file to, passing each piece through convert
// (or as it is when convert is null).
bool copyFile(const std::string& from, const std::string& to, CharsetConversion* convert) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, FileMode);
    if (out < 0) {
        close(in);
        return false;
    }
    static unsigned char buffer[CopyBufferSize];
    std::string converted;
    bool copied = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        converted.clear();
        if (convert != nullptr) convertPiece(*convert, buffer, static_cast<size_t>(got), converted);
        const bool written = convert != nullptr ? writeAll(out, converted.data(), converted.size())
                                                : writeAll(out, buffer, static_cast<size_t>(got));
        if (!written) {
            copied = false;
            break;
        }
    }
    if (copied && convert != nullptr) {
        converted.clear();
        finishConversion(*convert, converted);
        copied = writeAll(out, converted.data(), converted.size());
    }
    copied = closeBoth(in, out) && copied;
    if (!copied) unlink(to.c_str());
    return copied;
}

// A run's standard output, Windows-1252, as UTF-8 into to; the original goes.
bool convertOutput(const std::string& from, const std::string& to) {
    CharsetConversion conversion;
    if (!openConversion(conversion, Windows1252, Utf8, Unconvertible::Replace)) return moveFile(from, to);
    if (!copyFile(from, to, &conversion)) return false;
    unlink(from.c_str());
    return true;
}

// rename(2) that fails with EEXIST instead of replacing a file at to; a
// file system without RENAME_NOREPLACE gets a look first.
bool renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat info;
    if (lstat(to.c_str(), &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::string utcStamp(time_t time) {
    struct tm utc {};
    gmtime_r(&time, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool makeRunFolder(const std::string& base, const std::string& stamp, const std::string& name, std::string& folder) {
    const std::string first = base + "/" + stamp + "_" + name;
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        folder = number == 1 ? first : first + "-" + std::to_string(number);
        if (mkdir(folder.c_str(), FolderMode) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool moveFile(const std::string& from, const std::string& to) {
    if (renameWithoutReplacing(from, to)) return true;
    if (errno != EXDEV || !copyFile(from, to, nullptr)) return false;
    return unlink(from.c_str()) == 0;
}

bool moveFolderContents(const std::string& from, const std::string& to) {
    DIR* dir = opendir(from.c_str());
    if (dir == nullptr) return false;
    bool moved = true;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string source = from + "/" + entry->d_name;
        if (endsWith(name, OutputEnding)) {
            const std::string_view stem = name.substr(0, name.size() - OutputEnding.size());
            moved = convertOutput(source, to + "/" + std::string(stem) + ConvertedEnding) && moved;
        } else {
            moved = moveFile(source, to + "/" + entry->d_name) && moved;
        }
    }
    closedir(dir);
    if (moved) rmdir(from.c_str());
    return moved;
}

bool writeTextFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FileMode);
    if (fd < 0) return false;
    const bool written = writeAll(fd, text.data(), text.size());
    return close(fd) == 0 && written;
}
