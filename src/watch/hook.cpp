#include "watch/hook.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>

#include "common/diag.h"
#include "watch/child.h"

extern char** environ;

namespace {

constexpr double HookSeconds = 60;
constexpr const char* HookPrefix = "KELVORA_";

// The watcher's environment and the run's facts.
std::vector<std::string> hookEnvironment(const HookFacts& facts) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (strncmp(*entry, HookPrefix, strlen(HookPrefix)) != 0) environment.emplace_back(*entry);
    }
    environment.push_back("KELVORA_RUN_FOLDER=" + facts.folder);
    environment.push_back("KELVORA_FILE=" + facts.name);
    environment.push_back("KELVORA_TYPE=" + facts.typeCode);
    environment.push_back("KELVORA_OUTCOME=" + facts.outcome);
    environment.push_back("KELVORA_REASON=" + facts.reason);
    return environment;
}

}  // namespace

void startFailedHook(const WatchConfig& config, const HookFacts& facts, double now, std::vector<HookRun>& hooks) {
    if (config.onFailed.empty()) return;
    const std::vector<std::string> environment = hookEnvironment(facts);
    ChildRequest child;
    child.arguments = config.onFailed;
    child.environment = &environment;
    pid_t pid = -1;
    if (!startChild(child, pid)) {
        diagnose("cannot run the on-failed hook %s for %s: %s", config.onFailed[0].c_str(), facts.folder.c_str(),
                 strerror(errno));
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
