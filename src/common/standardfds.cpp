#include "common/standardfds.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* NullDevice = "/dev/null";

// Whether fd is closed (not a descriptor of this process).
bool isClosed(int fd) {
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

}  // namespace

// Each standard descriptor lower than the one looked at is open (it was,
// or it was just opened), so open(2), which takes the lowest free number,
// gives the one looked at. It is opened close-on-exec like every other,
// then handed on to the children on purpose: a standard descriptor is
// theirs too. It lives as long as the process, so no holder closes it.
bool openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (!isClosed(fd)) continue;
        const int opened = open(NullDevice, O_RDWR | O_CLOEXEC);
        if (opened != fd) {
            if (opened >= 0) close(opened);
            return false;
        }
        if (fcntl(fd, F_SETFD, 0) != 0) return false;
    }
    return true;
}
