// The on-failed hook: a command of the site's (run without a shell) for
// each run folder that goes to failed/, with the run in its environment:
// KELVORA_RUN_FOLDER, KELVORA_FILE, KELVORA_TYPE, KELVORA_OUTCOME and
// KELVORA_REASON. At most MaxRunningHooks run at a time; the others wait
// their turn in the order their runs failed. Each gets 60 seconds from its
// start; its failure is logged and changes nothing else. A hook that
// cannot be started for a passing reason (no process or memory to spare)
// is tried again later, a little later each time.
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

#include "watch/config.h"

constexpr size_t MaxRunningHooks = 4;

struct HookRun {
    pid_t pid = -1;          // -1 while it waits for its turn
    double deadline = 0;     // running: when it is ended (monotonic)
    double dueAt = 0;        // waiting: not tried again before this (monotonic)
    int failedStarts = 0;    // the tries that failed for a passing reason
    std::string folder;
    std::vector<std::string> command;       // as the configuration said when the run failed
    std::vector<std::string> environment;
};

struct HookFacts {
    std::string folder;
    std::string name;      // as the log shows it
    std::string typeCode;
    std::string outcome;
    std::string reason;
};

// Queues the hook for a failed run, when the configuration has one, and
// starts it when its turn has come.
void startFailedHook(const WatchConfig& config, const HookFacts& facts, double now, std::vector<HookRun>& hooks);

// Reaps the hooks that ended, ends those over their time, starts those
// whose turn has come; true while any runs or waits.
bool reapHooks(std::vector<HookRun>& hooks, double now);

// When the hooks need a look next: the earliest deadline of a running
// hook, or the next try of a waiting one that may start; -1 for none.
double nextHookDeadline(const std::vector<HookRun>& hooks);
