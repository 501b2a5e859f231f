#include "watch/hook.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/diag.h"
#include "watch/argv.h"

extern char** environ;

namespace {

constexpr double HookSeconds = 60;
constexpr int ExecFailed = 127;

// The watcher's environment and the run's facts.
std::vector<std::string> hookEnvironment(const HookFacts& facts) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (strncmp(*entry, "KELVORA_", 8) != 0) environment.emplace_back(*entry);
    }
    environment.push_back("KELVORA_RUN_FOLDER=" + facts.folder);
    environment.push_back("KELVORA_FILE=" + facts.name);
    environment.push_back("KELVORA_TYPE=" + facts.typeCode);
    environment.push_back("KELVORA_OUTCOME=" + facts.outcome);
    environment.push_back("KELVORA_REASON=" + facts.reason);
    return environment;
}

// In the child: no input, the signals as a new program expects them, then
// the command.
[[noreturn]] void execHook(std::vector<char*>& argv, std::vector<char*>& envp) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGIO, SIG_DFL);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, STDIN_FILENO);
    execve(argv[0], argv.data(), envp.data());
    fprintf(stderr, "kelvora-watch: cannot run the on-failed hook %s: %s\n", argv[0], strerror(errno));
    _exit(ExecFailed);
}

}  // namespace

void startFailedHook(const WatchConfig& config, const HookFacts& facts, double now, std::vector<HookRun>& hooks) {
    if (config.onFailed.empty()) return;
    std::vector<std::string> arguments = config.onFailed;
    std::vector<std::string> environment = hookEnvironment(facts);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) execHook(argv, envp);
    if (pid < 0) {
        diagnose("cannot start the on-failed hook for %s: %s", facts.folder.c_str(), strerror(errno));
        return;
    }
    hooks.push_back({pid, now + HookSeconds, facts.folder});
}

bool reapHooks(std::vector<HookRun>& hooks, double now) {
    for (size_t i = 0; i < hooks.size();) {
        HookRun& hook = hooks[i];
        int status = 0;
        const pid_t ended = waitpid(hook.pid, &status, WNOHANG);
        if (ended == 0 && now >= hook.deadline) {
            kill(hook.pid, SIGKILL);
            diagnose("the on-failed hook for %s ran longer than %.0f s and was ended", hook.folder.c_str(), HookSeconds);
            hook.deadline = now + HookSeconds;   // reaped at the next look
            ++i;
            continue;
        }
        if (ended == 0) {
            ++i;
            continue;
        }
        if (ended > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            diagnose("the on-failed hook for %s failed (%s %d)", hook.folder.c_str(),
                     WIFEXITED(status) ? "exit status" : "signal", WIFEXITED(status) ? WEXITSTATUS(status)
                                                                                   : WTERMSIG(status));
        }
        hooks.erase(hooks.begin() + static_cast<long>(i));
    }
    return !hooks.empty();
}

double nextHookDeadline(const std::vector<HookRun>& hooks) {
    double next = -1;
    for (const HookRun& hook : hooks) {
        if (next < 0 || hook.deadline < next) next = hook.deadline;
    }
    return next;
}
