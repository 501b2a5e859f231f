#include "watch/child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/fd.h"
#include "watch/durable.h"

extern char** environ;

namespace {

constexpr int OutputFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
constexpr int FirstOtherDescriptor = 3;

// The null-terminated arrays of pointers that execve(2) takes, over texts
// that outlive the call.
std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Every descriptor from 3 up closes at the exec; close_range where the
// kernel has it, else one by one.
void closeOthersAtExec() {
    if (close_range(FirstOtherDescriptor, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    const long most = sysconf(_SC_OPEN_MAX);
    for (int fd = FirstOtherDescriptor; fd < most; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Standard output or error: the descriptor given, a file made for it, or
// the watcher's own.
bool setOutput(int given, const std::string& path, int target) {
    if (given >= 0) return dup2(given, target) >= 0;
    if (path.empty()) return true;
    const int fd = open(path.c_str(), OutputFlags, RunFileMode);
    return fd >= 0 && dup2(fd, target) >= 0;
}

// In the child, up to the exec: only async-signal-safe calls. A failure
// before the exec is written to report.
[[noreturn]] void runChild(const ChildRequest& request, int report, char** argv, char** envp) {
    if (request.group == ChildGroup::Own) setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGIO, SIG_DFL);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool ready = input >= 0 && dup2(input, STDIN_FILENO) >= 0 &&
                       setOutput(request.output, request.outputPath, STDOUT_FILENO) &&
                       setOutput(request.error, request.errorPath, STDERR_FILENO) &&
                       (request.syncedFolder < 0 || fsync(request.syncedFolder) == 0) &&
                       (request.workdir.empty() || chdir(request.workdir.c_str()) == 0);
    if (ready) {
        closeOthersAtExec();
        if (request.handedOn < 0 || fcntl(request.handedOn, F_SETFD, 0) == 0) execve(argv[0], argv, envp);
    }
    const int error = errno;
    ssize_t written = write(report, &error, sizeof error);
    (void)written;
    _exit(ExecFailedStatus);
}

// Whether the child reached its exec: the pipe closes without a word then.
bool childExecuted(int report, int& error) {
    ssize_t got = 0;
    do {
        got = read(report, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got != static_cast<ssize_t>(sizeof error);
}

}  // namespace

bool startChild(const ChildRequest& request, pid_t& pid) {
    std::vector<char*> argv = pointersTo(request.arguments);
    std::vector<char*> envp = request.environment != nullptr ? pointersTo(*request.environment) : std::vector<char*>();
    char** environment = request.environment != nullptr ? envp.data() : environ;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    fflush(nullptr);
    pid = fork();
    if (pid == 0) runChild(request, writing.get(), argv.data(), environment);
    int error = errno;
    writing.reset();
    if (pid > 0 && childExecuted(reading.get(), error)) return true;
    if (pid > 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid = -1;
    errno = error;
    return false;
}
