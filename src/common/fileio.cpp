#include "common/fileio.h"

#include "common/fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t NewFileMode = 0666;

// The file mode that the process's umask gives a new file.
mode_t createdFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return NewFileMode & ~mask;
}

}  // namespace

bool writeAll(int fd, const void* bytes, size_t count) {
    const char* at = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t written = write(fd, at, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool writeFileWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".XXXXXX";
    UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return false;
    bool written = fchmod(fd.get(), createdFileMode()) == 0 && writeAll(fd.get(), text.data(), text.size()) &&
                   fsync(fd.get()) == 0;
    written = fd.close() && written;
    if (written && rename(temporary.c_str(), path.c_str()) == 0) return true;
    const int reason = errno;
    unlink(temporary.c_str());
    errno = reason;
    return false;
}
