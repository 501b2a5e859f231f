// The life of a delivered file in the watcher: taken from the drop folder
// once it is complete, checked, moved into the working directory, imported
// (and imported again after a transaction abort), and put into its run
// folder in archive/ or failed/. One import runs at a time per type code
// (each type code writes tables of its own), so two files for the same
// table go in the order they arrived; up to `parallel` files (running or
// waiting for a retry) are in work at once, for different type codes.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

#include "watch/config.h"
#include "watch/importer.h"
#include "watch/queue.h"

// The folder in the working directory that holds a run's files until its
// end.
constexpr const char* StagingFolderName = ".kelvora-watch";

struct Job {
    std::string name;        // as delivered
    FileRule rule;           // copies: a new configuration does not change a job under way
    WatchConfig site;
    std::string stamp;       // the UTC time it was taken
    std::string staging;     // <workdir>/.kelvora-watch/<stamp>_<name>
    std::string source;      // the importer's first argument: the name, then its work file
    RunFiles files;
    pid_t pid = -1;          // while the importer runs
    int attempt = 0;         // runs started
    double started = 0;      // monotonic time of the run's start
    double retryAt = -1;     // while it waits for another run
    RunOutcome last;         // what the last run ended with
};

struct Watcher {
    WatchConfig config;
    DropQueue queue;
    std::vector<Job> jobs;
    std::vector<int> retryDelays;   // seconds before the first, second, ... retry
    int parallel = 1;
    bool once = false;
    bool stopping = false;
    int failedFiles = 0;            // files that went to failed/
};

// At the start, before any file is taken: the run folders that an earlier
// watcher left in the working directory (killed, or the machine stopped
// while a file was in work) go to failed/ with the file and what its last
// report says, so that nothing of them is lost or imported again unseen.
void fileAwayLeftovers(Watcher& watcher);

// Takes what is complete in the drop folder, oldest first, within the
// limits above. A file that matches no [file] section stays and is named
// once on standard error.
void startCompleteFiles(Watcher& watcher, double now);

// Collects the imports that have ended: each one waits for its retry or
// goes to its run folder.
void collectEndedImports(Watcher& watcher, double now);

// Starts the retries that are due.
void startDueRetries(Watcher& watcher, double now);

// At a stop: the files that wait for a retry go to failed/, their work
// files intact.
void giveUpRetries(Watcher& watcher);

// The earliest monotonic time a retry is due; -1 when none waits.
double nextRetry(const Watcher& watcher);
