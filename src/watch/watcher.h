// The watcher's state: the staging area's fixed names, the jobs (one per
// delivered file in work) and what the watcher keeps across them. The
// steps that work on a job (take, check, run, file) need these types, not
// the order of the runs, which jobs.h keeps. The watcher owns its
// descriptors, and each job owns its run folder's, which holds the run's
// lock: a job can be moved, never copied.
#pragma once
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/fd.h"
#include "watch/background.h"
#include "watch/config.h"
#include "watch/hook.h"
#include "watch/importer.h"
#include "watch/runrecord.h"
#include "watch/scan.h"
#include "watch/sequence.h"

// What a job waits for while work goes on beside the loop, or a question to
// the journal: take.h, checks.h and journal.h say.
struct CopyOutcome;
struct CheckOutcome;
struct JournalAsk;

// The folder in the working directory that holds the runs until they are
// filed: only the watcher's user may enter it.
constexpr const char* StagingFolderName = ".kelvora-watch";
// In the staging area while the database is away: since when, and why.
constexpr const char* OutageFileName = ".outage";
// In the staging area: the drop entries named as never taken, so that each
// is named once, not once per start.
constexpr const char* NamedFileName = ".named";
// The longest wait between two tries while the database is away.
constexpr int MaxOutageDelay = 600;

// The phases, in this order (workview.h names each).
enum class Phase {
    Taking,       // its file is copied into the run folder, beside the loop
    Checking,     // its checks run beside the loop
    JournalWait,  // the journal is asked (or could not be asked: tried again with back-off)
    StartWait,    // checked, and waits for an import to end (--parallel)
    Running,      // its importer runs
    RetryWait,    // waits for another import after a transaction abort
    FilingWait,   // its run folder could not be filed yet: tried again later
    Locked,       // a run folder of another watcher, or of an importer that outlived its watcher
    Resume,       // a run an earlier watcher left: goes on once no older run of its type code is in work
    OutageWait,   // could not connect, the database is away: tried again with back-off
};

// A wait for something away (the database, the journal): since when
// (monotonic; -1 while it is there) and the seconds before the next try.
struct AwayWait {
    double since = -1;
    int delay = 0;
};

struct Job {
    RunRecord record;
    std::string folderName;   // in the staging area
    std::string folder;       // its path
    UniqueFd runFd;           // the run folder, locked while the job is this watcher's
    std::string source;       // the importer's first argument
    RunFiles files;
    WatchConfig site;         // a copy: a new configuration does not change a job under way
    Phase phase = Phase::Running;
    pid_t pid = -1;
    double started = 0;       // monotonic time of the import's start
    double dueAt = -1;        // monotonic: the retry, the next try to file, the next look at a lock
    RunOutcome last;          // what the last import ended with
    AwayWait database;        // OutageWait: the database was found away
    AwayWait journal;         // JournalWait: the journal could not be asked
    int startDelay = 0;       // StartWait: seconds before the next try to start an importer that could not fork
    std::unique_ptr<Background> work;       // Taking, Checking: the work beside the loop
    std::shared_ptr<CopyOutcome> copied;    // Taking: what the copy found
    std::shared_ptr<CheckOutcome> checked;  // Checking: what the checks found
    UniqueFd taking;          // Taking: the drop entry as opened, its lease held
    bool leased = false;      // a read lease keeps writers out of it
    double stopAt = -1;       // Running: when the import is ended for running too long (monotonic)
    bool timedOut = false;    // the import ran longer than import-timeout and was ended
    bool duplicateAsked = false;   // the journal said the file was not imported before
    bool leftImport = false;  // the import an earlier watcher started, whose end this one found
    std::shared_ptr<JournalAsk> ask;   // JournalWait: the question under way
    bool recordBehind = false;   // record.step was noted, not written: the run folder's record is an earlier step
};

// What the metrics count for a type code.
struct TypeCounts {
    long imported = 0;      // since the start
    long failed = 0;
    long held = 0;          // of the failed: held by the deletion guard
    time_t lastWhole = 0;   // the last whole import's time of taking (wall clock)
};

// A run filed in failed/ that no person has yet seen (ack) or put back
// (requeue): its run folder's path and when it was taken (wall clock).
struct UnseenFailure {
    std::string folder;
    time_t taken = 0;
};

struct Watcher {
    WatchConfig config;
    unsigned configNumber = 1;      // counts the configurations read (SIGHUP): what a drop entry is is noted for one
    DropQueue queue;
    UniqueFd dropFd;
    UniqueFd dropLock;              // the drop folder's lock file, held while the watcher lives
    UniqueFd stagingFd;
    UniqueFd wakeFd;                // written by work beside the loop when it is done
    std::string staging;            // its path
    std::vector<Job> jobs;
    std::vector<int> retryDelays;   // seconds before the first, second, ... retry
    int parallel = 1;
    bool once = false;
    bool stopping = false;
    int failedFiles = 0;            // went to failed/, or could not be filed
    int unknownFiles = 0;           // whether they were committed is unknown
    bool leaseUnknownSaid = false;  // named once: open writers cannot be told
    bool readableSaid = false;      // named once: a delivered file every user may read
    int firstOutageDelay = 30;      // seconds before the first try after the database was found away
    double outageSince = -1;        // the database is away since (monotonic), -1 while it is there
    int outageFiles = 0;            // files that waited for it
    double journalAwaySince = -1;   // the journal cannot be asked since (monotonic), -1 while it can
    std::string journalAwayCause;   // and why, as the first job that met it says
    bool metricsDue = false;        // something the metrics show changed: written at the next turn
    int awayFiles = 0;              // --once: files left for the next run because it was away
    std::map<std::string, TypeCounts> typeCounts;   // by type code, for the metrics
    int metricsError = 0;           // the last error writing the metrics, named once
    std::vector<HookRun> hooks;     // on-failed hooks that run
    std::vector<UnseenFailure> unseenFailed;   // for the metrics: failed runs of the last day that need a person
    SequenceBlock sequence;         // the run numbers this watcher hands out
    std::string workView;           // the view of the work last written for status (workview.h)
    std::string lastFiled;          // the last run filed, as the service manager's status names it
};

// How a file's settling is timed by this watcher: --once has not watched
// the files, so their own times tell.
inline SettleClock settleClockOf(const Watcher& watcher) {
    return watcher.once ? SettleClock::FileTimes : SettleClock::Watched;
}
