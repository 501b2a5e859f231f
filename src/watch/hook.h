// The on-failed hook: a command of the site's (run without a shell) for
// each run folder that goes to failed/, with the run in its environment:
// KELVORA_RUN_FOLDER, KELVORA_FILE, KELVORA_TYPE, KELVORA_OUTCOME and
// KELVORA_REASON. It gets 60 seconds; its failure is logged and changes
// nothing else.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

#include "watch/config.h"

struct HookRun {
    pid_t pid = -1;
    double deadline = 0;   // monotonic
    std::string folder;
};

struct HookFacts {
    std::string folder;
    std::string name;      // as the log shows it
    std::string typeCode;
    std::string outcome;
    std::string reason;
};

// Starts the hook for a failed run, when the configuration has one.
void startFailedHook(const WatchConfig& config, const HookFacts& facts, double now, std::vector<HookRun>& hooks);

// Reaps the hooks that ended, ends those over their time; true while any runs.
bool reapHooks(std::vector<HookRun>& hooks, double now);

// The earliest deadline of a running hook; -1 when none runs.
double nextHookDeadline(const std::vector<HookRun>& hooks);
