#include "watch/hook.h"

#include <algorithm>
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
constexpr double FirstRetrySeconds = 1;    // after a start that failed for a passing reason, doubling
constexpr double MaxRetrySeconds = 60;
constexpr int MaxFailedStarts = 10;        // about five minutes of tries

enum class StartResult { Started, Later, Dropped };

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

bool isRunning(const HookRun& hook) {
    return hook.pid >= 0;
}

size_t runningHooks(const std::vector<HookRun>& hooks) {
    return static_cast<size_t>(std::count_if(hooks.begin(), hooks.end(), isRunning));
}

// A fork or exec refused for want of processes (EAGAIN) or memory (ENOMEM)
// may work a little later; any other failure would fail again.
bool isPassing(int error) {
    return error == EAGAIN || error == ENOMEM;
}

// Starts a waiting hook. One refused for a passing reason waits again,
// twice as long as the time before, until it has failed MaxFailedStarts
// times; then, or at once for any other reason, it is named and dropped.
StartResult startHook(HookRun& hook, double now) {
    ChildRequest child;
    child.arguments = hook.command;
    child.environment = &hook.environment;
    if (startChild(child, hook.pid)) {
        hook.deadline = now + HookSeconds;
        return StartResult::Started;
    }
    const int error = errno;
    hook.failedStarts++;
    if (isPassing(error) && hook.failedStarts < MaxFailedStarts) {
        const double delay = std::min(MaxRetrySeconds, FirstRetrySeconds * (1 << (hook.failedStarts - 1)));
        hook.dueAt = now + delay;
        diagnoseAt(Severity::Warning, "cannot run the on-failed hook %s for %s yet: %s; tried again in %.0f s",
                   hook.command[0].c_str(), hook.folder.c_str(), strerror(error), delay);
        return StartResult::Later;
    }
    diagnoseAt(Severity::Warning, "cannot run the on-failed hook %s for %s: %s%s", hook.command[0].c_str(),
               hook.folder.c_str(), strerror(error), isPassing(error) ? " (given up after as many tries)" : "");
    return StartResult::Dropped;
}

// Starts the waiting hooks in their order while fewer than
// MaxRunningHooks run. One that must be tried again later holds back
// those behind it, so that the order holds.
void startWaitingHooks(std::vector<HookRun>& hooks, double now) {
    size_t running = runningHooks(hooks);
    for (size_t i = 0; i < hooks.size() && running < MaxRunningHooks;) {
        HookRun& hook = hooks[i];
        if (isRunning(hook)) {
            ++i;
            continue;
        }
        if (hook.dueAt > now) return;
        switch (startHook(hook, now)) {
        case StartResult::Started:
            running++;
            ++i;
            break;
        case StartResult::Later:
            return;
        case StartResult::Dropped:
            hooks.erase(hooks.begin() + static_cast<long>(i));
            break;
        }
    }
}

// One running hook: true once it has ended (and was reaped). One over its
// time is killed, and reaped at a later look.
bool hookEnded(HookRun& hook, double now) {
    int status = 0;
    const pid_t ended = waitpid(hook.pid, &status, WNOHANG);
    if (ended == 0) {
        if (now >= hook.deadline) {
            kill(hook.pid, SIGKILL);
            diagnoseAt(Severity::Warning, "the on-failed hook for %s ran longer than %.0f s and was ended",
                       hook.folder.c_str(), HookSeconds);
            hook.deadline = now + HookSeconds;   // reaped at the next look
        }
        return false;
    }
    if (ended > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        diagnoseAt(Severity::Warning, "the on-failed hook for %s failed (%s %d)", hook.folder.c_str(),
                   WIFEXITED(status) ? "exit status" : "signal",
                   WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    }
    return true;
}

}  // namespace

void startFailedHook(const WatchConfig& config, const HookFacts& facts, double now, std::vector<HookRun>& hooks) {
    if (config.onFailed.empty()) return;
    HookRun hook;
    hook.folder = facts.folder;
    hook.command = config.onFailed;
    hook.environment = hookEnvironment(facts);
    hooks.push_back(std::move(hook));
    startWaitingHooks(hooks, now);
}

bool reapHooks(std::vector<HookRun>& hooks, double now) {
    for (size_t i = 0; i < hooks.size();) {
        if (isRunning(hooks[i]) && hookEnded(hooks[i], now)) {
            hooks.erase(hooks.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    startWaitingHooks(hooks, now);
    return !hooks.empty();
}

double nextHookDeadline(const std::vector<HookRun>& hooks) {
    double next = -1;
    const HookRun* firstWaiting = nullptr;   // only it may be tried next
    for (const HookRun& hook : hooks) {
        if (!isRunning(hook)) {
            if (firstWaiting == nullptr) firstWaiting = &hook;
        } else if (next < 0 || hook.deadline < next) {
            next = hook.deadline;
        }
    }
    const bool mayStart = firstWaiting != nullptr && runningHooks(hooks) < MaxRunningHooks;
    if (mayStart && (next < 0 || firstWaiting->dueAt < next)) next = firstWaiting->dueAt;
    return next;
}
