// kelvora-watch: imports every file delivered into a drop folder with the
// importer, unattended and safely, and says how each one went.
//   kelvora-watch [--config FILE] [--once] [--parallel N] [--retry-delays S,S,...]
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <set>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <fcntl.h>

#include "common/diag.h"
#include "common/fd.h"
#include "common/standardfds.h"
#include "common/strutil.h"
#include "watch/clocks.h"
#include "watch/config.h"
#include "watch/durable.h"
#include "watch/folderplaces.h"
#include "watch/jobs.h"
#include "watch/journal.h"
#include "watch/leftovers.h"
#include "watch/lock.h"
#include "watch/metrics.h"
#include "watch/names.h"
#include "watch/notify.h"
#include "watch/options.h"
#include "watch/pair.h"
#include "watch/ack.h"
#include "watch/requeue.h"
#include "watch/sitecheck.h"
#include "watch/standby.h"
#include "watch/retention.h"
#include "watch/runimport.h"
#include "watch/scan.h"
#include "watch/status.h"
#include "watch/workview.h"

#ifndef KELVORA_VERSION
#define KELVORA_VERSION "unknown"
#endif

namespace {

constexpr int ExitFilesFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitEntriesNotTaken = 3;
constexpr int ExitLocked = 7;
constexpr int ExitDatabaseAway = 4;
constexpr int ExitOutcomeUnknown = 6;
constexpr double MetricsEverySeconds = 60;
constexpr double RetentionEverySeconds = 3600;
constexpr useconds_t HookPollMicroseconds = 100 * 1000;
constexpr int ExitLockFileUnusable = 5;
constexpr mode_t WatcherUmask = 0027;
constexpr const char* SettingsFromWorkdir = "/../../Files/Corvantis.Ini";
constexpr int MaxParallel = 12;            // one import per type code at most
constexpr int MaxRetryDelaySeconds = 86400;
constexpr double MinRescanSeconds = 1;
constexpr double MillisecondsPerSecond = 1000;
constexpr int DefaultRetryDelays[] = {5, 20, 60};

struct Options {
    const char* config = DefaultConfigPath;
    bool once = false;
    int parallel = 1;
    std::vector<int> retryDelays{std::begin(DefaultRetryDelays), std::end(DefaultRetryDelays)};
    int outageRetry = 30;
};

// The usage text, for --help and for a command line that is not understood.
void printUsage(FILE* out) {
    fprintf(out,
            "usage: kelvora-watch [--config FILE] [--once] [--parallel N] [--retry-delays S,S,...] [--outage-retry S]\n"
            "       kelvora-watch [--config FILE] status [--json]\n"
            "       kelvora-watch [--config FILE] requeue [--force] [--accept-deletes] RUNFOLDER...\n"
            "       kelvora-watch [--config FILE] ack RUNFOLDER...\n"
            "       kelvora-watch [--config FILE] check FILE\n"
            "  watches the drop folder and imports every complete file; the commands instead:\n"
            "  status                what waits and why, the runs in work, the last runs; exit 1: look\n"
            "  requeue               puts the file of a failed run back into the drop folder\n"
            "  ack                   marks a failed run as seen: it no longer needs a person\n"
            "  check                 what the import of FILE would do here, with its section's settings, rolled back\n"
            "  (COMMAND --help tells more)\n"
            "  --config FILE         the configuration (default %s)\n"
            "  --once                take what is complete now, import it and exit; the exit status is 1\n"
            "                        when a file went to the failed folder\n"
            "  --parallel N          imports side by side for different type codes (default 1)\n"
            "  --retry-delays LIST   seconds before each retry of an aborted transaction (default 5,20,60)\n"
            "  --outage-retry S      seconds before the first try after the database was away (default 30,\n"
            "                        doubling up to 600)\n"
            "  --help, --version\n"
            "See kelvora-watch(1).\n",
            DefaultConfigPath);
}

// A whole number from low to high, or false.
bool takeNumber(const char* text, int low, int high, int& number) {
    long value = 0;
    if (!parseWholeNumber(text, low, high, value)) return false;
    number = static_cast<int>(value);
    return true;
}

// --retry-delays: whole seconds separated by commas.
bool takeDelays(const char* text, std::vector<int>& delays) {
    delays.clear();
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        int delay = 0;
        if (!takeNumber(list.substr(start, comma - start).c_str(), 0, MaxRetryDelaySeconds, delay)) return false;
        delays.push_back(delay);
        start = comma + 1;
    }
    return true;
}

// False when the program is to end at once with status.
bool parseOptions(int argc, char** argv, Options& options, int& status) {
    for (int at = 1; at < argc; ++at) {
        bool missing = false;
        const char* value = nullptr;
        if (strcmp(argv[at], "--help") == 0) {
            printUsage(stdout);
            status = 0;
            return false;
        } else if (strcmp(argv[at], "--version") == 0) {
            printf("kelvora-watch %s\n", KELVORA_VERSION);
            status = 0;
            return false;
        } else if (strcmp(argv[at], "--once") == 0) {
            options.once = true;
        } else if ((value = optionValue(argc, argv, at, ConfigOption, missing)) != nullptr) {
            options.config = value;
        } else if ((value = optionValue(argc, argv, at, "--parallel", missing)) != nullptr) {
            if (!takeNumber(value, 1, MaxParallel, options.parallel)) missing = true;
        } else if ((value = optionValue(argc, argv, at, "--retry-delays", missing)) != nullptr) {
            if (!takeDelays(value, options.retryDelays)) missing = true;
        } else if ((value = optionValue(argc, argv, at, "--outage-retry", missing)) != nullptr) {
            if (!takeNumber(value, 1, MaxOutageDelay, options.outageRetry)) missing = true;
        } else {
            missing = true;
        }
        if (missing) {
            diagnoseAt(Severity::Error, "\"%s\" is not understood (or its value is missing or out of range)", argv[at]);
            printUsage(stderr);
            status = ExitUsage;
            return false;
        }
    }
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The importer reads its settings from ../../Files/Corvantis.Ini of its
// working directory: a workdir where the watcher cannot read it would fail
// every file.
bool settingsReadable(const WatchConfig& config) {
    const std::string path = config.workdir + SettingsFromWorkdir;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.valid()) return true;
    diagnoseAt(Severity::Error,
               "the importer's settings file %s cannot be read: %s; workdir (%s) must lie two levels below the folder "
               "that holds Files/Corvantis.Ini, and the watcher's user must be able to read it",
               path.c_str(), strerror(errno), config.path.c_str());
    return false;
}

// The folders must be there and apart, the importer runnable and its
// settings readable, before anything is taken from the drop folder.
bool checkSite(const WatchConfig& config) {
    bool sound = foldersApart(config);
    for (const std::string* folder : {&config.drop, &config.workdir, &config.archive, &config.failed}) {
        if (!isDirectory(*folder)) {
            diagnoseAt(Severity::Error, "%s is not a directory (%s)", folder->c_str(), config.path.c_str());
            sound = false;
        }
    }
    if (!config.receipts.empty() && !isDirectory(config.receipts)) {
        diagnose("receipts = %s is not a directory (%s)", config.receipts.c_str(), config.path.c_str());
        sound = false;
    }
    if (access(config.program.c_str(), X_OK) != 0) {
        diagnoseAt(Severity::Error, "the importer %s cannot be run: %s (%s)", config.program.c_str(), strerror(errno),
                   config.path.c_str());
        sound = false;
    }
    if (!config.journal.empty() && access(config.journalProgram.c_str(), X_OK) != 0) {
        diagnoseAt(Severity::Error,
                   "journal = %s is set, but its program %s cannot be run: %s (journal-program in %s); without it "
                   "no file could be imported",
                   config.journal.c_str(), config.journalProgram.c_str(), strerror(errno), config.path.c_str());
        sound = false;
    }
    return settingsReadable(config) && sound;
}

// Senders write the drop folder; what they may do there beyond that is
// up to its rights. Named once at the start, with the command that fixes it.
void warnAboutDrop(int drop, const std::string& path) {
    struct stat info;
    if (fstat(drop, &info) != 0) return;
    if ((info.st_mode & S_IWOTH) != 0) {
        diagnoseAt(Severity::Warning, "%s is writable by every user of this machine: give it to the watcher's user and the senders' group "
                 "(chown %ld:GROUP %s; chmod 3770 %s)", path.c_str(), static_cast<long>(geteuid()), path.c_str(),
                 path.c_str());
    } else if ((info.st_mode & S_IWGRP) != 0 && (info.st_mode & S_ISVTX) == 0) {
        diagnoseAt(Severity::Warning, "%s has no sticky bit: a sender may rename or remove what others (the watcher too) keep there "
                 "(chmod 3770 %s)", path.c_str(), path.c_str());
    }
    if ((info.st_mode & (S_IROTH | S_IXOTH)) != 0) {
        diagnoseAt(Severity::Warning, "%s is open to every user of this machine (mode %04o): the names and, where a sender's umask "
                 "lets them, the records of what is delivered can be read; chmod 3770 %s and setfacl -d -m o::--- %s",
                 path.c_str(), static_cast<unsigned>(info.st_mode & 07777), path.c_str(), path.c_str());
    }
    if (geteuid() == 0) {
        diagnoseAt(Severity::Warning,
                   "runs as root: the run folders and all it writes belong to root; run it as the service's user "
                   "(kelvora)");
    }
}

// The signals arrive through a descriptor, so the loop waits for them and
// for inotify in one poll; SIGCHLD wakes it when an import ends.
int openSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&signals, number);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGIO, SIG_IGN);   // a lease broken by a writer: it waits until the copy is made
    return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

// A new drop folder takes effect at the next start: until then the one
// watched stays in fresh, and the other folders must keep apart from it
// too. False when they do not.
bool keepWatchedDrop(const Watcher& watcher, WatchConfig& fresh) {
    if (fresh.drop == watcher.config.drop) return true;
    const std::string next = fresh.drop;
    fresh.drop = watcher.config.drop;
    if (!foldersApart(fresh)) return false;
    diagnose("drop = %s takes effect at the next start; %s is still watched", next.c_str(),
             watcher.config.drop.c_str());
    return true;
}

// SIGHUP: the configuration again. A faulty file leaves the old one in
// force; the drop folder changes only with a restart (it holds the lock).
void reloadConfig(Watcher& watcher) {
    WatchConfig fresh;
    if (!readConfig(watcher.config.path.c_str(), fresh) || !checkSite(fresh) || !keepWatchedDrop(watcher, fresh)) {
        diagnoseAt(Severity::Warning, "the configuration %s was not taken; the one before stays in force",
                   watcher.config.path.c_str());
        return;
    }
    watcher.config = fresh;
    watcher.configNumber++;
    for (auto& entry : watcher.queue.files) entry.second.held = false;
    diagnose("configuration read again from %s: %zu file sections", fresh.path.c_str(), fresh.rules.size());
}

// The signals that arrived: a stop, or a new configuration.
void readSignals(int signalFd, Watcher& watcher) {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
            if (!watcher.stopping && !watcher.jobs.empty()) {
                diagnose("stopping once the running imports have finished");
            }
            watcher.stopping = true;
        } else if (info.ssi_signo == SIGHUP) {
            reloadConfig(watcher);
        }
    }
}

// The first of the times the loop must look again (monotonic), or -1. A
// watchdog ping is one of them: the loop wakes for it when nothing else
// happens.
double nextWakeUp(const Watcher& watcher, double now, double nextRescan) {
    double until = -1;
    for (double at : {watcher.once ? -1 : nextRescan,
                      watcher.once ? -1 : nextCompletion(watcher.queue, watcher.config.settleSeconds, now),
                      nextDue(watcher), nextHookDeadline(watcher.hooks), nextImportDeadline(watcher),
                      nextAnswerDeadline(watcher), nextWatchdogPing()}) {
        if (at >= 0 && (until < 0 || at < until)) until = at;
    }
    return until;
}

// The descriptors the loop waits on: signals, inotify, work beside the
// loop that is done, the journal's answers under way.
std::vector<pollfd> descriptorsToWatch(const Watcher& watcher, int signalFd) {
    std::vector<pollfd> fds = {{signalFd, POLLIN, 0},
                               {watcher.once ? -1 : watcher.queue.inotifyFd.get(), POLLIN, 0},
                               {watcher.wakeFd.get(), POLLIN, 0}};
    for (const Job& job : watcher.jobs) {
        if (job.ask == nullptr || job.ask->over) continue;
        for (const UniqueFd* fd : {&job.ask->answerFd, &job.ask->troubleFd}) {
            if (fd->valid()) fds.push_back({fd->get(), POLLIN, 0});
        }
    }
    return fds;
}

// Sleeps until a signal, an inotify event, work done beside the loop, an
// answer of the journal or the next timer: a rescan, a file that may have
// settled, a retry, an import's or a question's time limit.
void waitForWork(Watcher& watcher, int signalFd, double now, double nextRescan) {
    const double until = nextWakeUp(watcher, now, nextRescan);
    int timeout = -1;
    if (until >= 0) timeout = until <= now ? 0 : static_cast<int>((until - now) * MillisecondsPerSecond) + 1;
    std::vector<pollfd> fds = descriptorsToWatch(watcher, signalFd);
    poll(fds.data(), fds.size(), timeout);
    drainWake(watcher.wakeFd.get());
    readSignals(signalFd, watcher);
}

// --once takes what is complete when it starts: the other files are named,
// and held so that none is taken later in the run.
void holdUnsettledFiles(Watcher& watcher, double now) {
    const std::vector<std::string> names =
        completeFiles(watcher.queue, now, watcher.config.settleSeconds, SettleClock::FileTimes);
    const std::set<std::string> complete(names.begin(), names.end());
    for (auto& entry : watcher.queue.files) {
        if (complete.count(entry.first) != 0) continue;
        diagnose("%s changed less than settle = %d s ago: it is left for the next run", shownName(entry.first).c_str(),
                 watcher.config.settleSeconds);
        entry.second.held = true;
        entry.second.laterRun = true;
    }
}

// The entries in the drop folder the watcher will never take as they are:
// no regular file, or no section matches the name.
size_t entriesNotTaken(const Watcher& watcher) {
    size_t count = watcher.queue.notFiles.size();
    for (const auto& entry : watcher.queue.files) {
        const EntrySection section = sectionOfEntry(watcher, entry.first, entry.second);
        if (!section.marker && section.rule == nullptr) count++;
    }
    return count;
}

// The exit status after the last run: unknown outcomes first, then files
// that failed or could not be filed, a database that was away, entries
// that are never taken.
int finalStatus(const Watcher& watcher) {
    if (watcher.unknownFiles > 0) return ExitOutcomeUnknown;
    if (watcher.failedFiles > 0) return ExitFilesFailed;
    if (watcher.awayFiles > 0) return ExitDatabaseAway;
    return entriesNotTaken(watcher) > 0 ? ExitEntriesNotTaken : 0;
}

bool importRuns(const Watcher& watcher) {
    return std::any_of(watcher.jobs.begin(), watcher.jobs.end(),
                       [](const Job& job) { return job.phase == Phase::Running; });
}

// A stop waits for the imports that run (each within its import-timeout)
// and for work beside the loop, which was asked to stop at its next piece;
// questions to the journal are ended.
bool mayStop(Watcher& watcher) {
    stopBackgroundWork(watcher);
    endJournalQuestions(watcher);
    return !importRuns(watcher) && !backgroundWorkRuns(watcher);
}

// The end: what waits is left for the next start, the hooks are waited for
// (within their time), the metrics written; the exit status.
int stopWatcher(Watcher& watcher) {
    notifyStopping();
    leaveWaitingRuns(watcher);
    while (reapHooks(watcher.hooks, monotonicNow())) usleep(HookPollMicroseconds);
    writeMetrics(watcher, monotonicNow());
    removeWorkView(watcher);
    diagnose("stopped");
    return watcher.once ? finalStatus(watcher) : 0;
}

// Follows the folder (or, with --once, takes what is complete now) until a
// stop, and returns the exit status.
int runWatcher(Watcher& watcher, int signalFd) {
    const double rescanEvery = std::max<double>(watcher.config.settleSeconds, MinRescanSeconds);
    double nextRescan = 0;
    double nextChores = monotonicNow() + MetricsEverySeconds;
    double nextRetention = monotonicNow() + RetentionEverySeconds;
    for (;;) {
        const double now = monotonicNow();
        reapHooks(watcher.hooks, now);
        if (now >= nextChores || watcher.metricsDue) {
            watcher.metricsDue = false;
            writeMetrics(watcher, now);
            nextChores = now + MetricsEverySeconds;
        }
        if (now >= nextRetention) {
            removeOldRuns(watcher.config, wallClockNow());
            nextRetention = now + RetentionEverySeconds;
        }
        if (!watcher.once && !watcher.stopping) {
            readEvents(watcher.queue, now);
            if (now >= nextRescan || watcher.queue.overflowed) {
                rescanFolder(watcher.queue, now);
                nextRescan = now + rescanEvery;
            }
        }
        collectBackgroundWork(watcher, now);
        collectJournalAnswers(watcher, now);
        collectEndedImports(watcher, now);
        endOverdueImports(watcher, now);
        startDueWork(watcher, now);
        if (watcher.stopping && mayStop(watcher)) return stopWatcher(watcher);
        startCompleteFiles(watcher, now);
        if (watcher.once && onceIsDone(watcher)) return stopWatcher(watcher);
        writeWorkView(watcher, now);
        notifyServiceManager(watcher, now);
        waitForWork(watcher, signalFd, now, std::min(nextRescan, nextChores));
    }
}

// A drop folder that another watcher holds: a standby waits for it (not
// with --once, which takes what is there now); others do not start. The
// exit status when the watcher may not go on, else 0.
int lockHeldDrop(Watcher& watcher, int signalFd, const std::string& holder) {
    if (!watcher.config.standby || watcher.once) {
        diagnoseAt(Severity::Error, "%s is watched already by %s; this one does not start", watcher.config.drop.c_str(), holder.c_str());
        return ExitLocked;
    }
    switch (standBy(watcher, signalFd, holder)) {
    case StandbyEnd::Locked:
        return 0;
    case StandbyEnd::Stopped:
        diagnose("stopped while standing by");
        return 0;   // with no lock held: main ends here, as after any stop
    case StandbyEnd::Failed:
        break;
    }
    return ExitLockFileUnusable;
}

// Opens the drop folder and takes its lock; the exit status when the
// watcher may not go on, else 0.
int lockDrop(Watcher& watcher, int signalFd) {
    watcher.dropFd.reset(open(watcher.config.drop.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!watcher.dropFd.valid()) {
        diagnoseAt(Severity::Error, "cannot open %s: %s", watcher.config.drop.c_str(), strerror(errno));
        return ExitUsage;
    }
    std::string holder;
    switch (lockFolder(watcher.dropFd.get(), watcher.config.drop, watcher.dropLock, holder)) {
    case LockResult::Held:
        return 0;
    case LockResult::Busy:
        return lockHeldDrop(watcher, signalFd, holder);
    case LockResult::Unusable:
        break;
    }
    diagnoseAt(Severity::Error, "%s", holder.c_str());
    return ExitLockFileUnusable;
}

}  // namespace

int main(int argc, char** argv) {
    if (!openClosedStandardDescriptors()) return ExitUsage;
    setDiagnosticProgram("kelvora-watch");
    if (isStatusCommand(argc, argv)) return runStatus(argc, argv);
    if (isRequeueCommand(argc, argv)) return runRequeue(argc, argv);
    if (isAckCommand(argc, argv)) return runAck(argc, argv);
    if (isSiteCheckCommand(argc, argv)) return runSiteCheck(argc, argv);
    Options options;
    int status = 0;
    if (!parseOptions(argc, argv, options, status)) return status;
    Watcher watcher;
    watcher.once = options.once;
    watcher.parallel = options.parallel;
    watcher.retryDelays = options.retryDelays;
    watcher.firstOutageDelay = options.outageRetry;
    umask(WatcherUmask);
    if (!readConfig(options.config, watcher.config) || !checkSite(watcher.config)) return ExitUsage;
    const UniqueFd signalFd(openSignals());
    const int refused = lockDrop(watcher, signalFd.get());
    if (refused != 0 || !watcher.dropLock.valid()) return refused;
    warnAboutDrop(watcher.dropFd.get(), watcher.config.drop);
    if (!openStaging(watcher)) return ExitUsage;
    watcher.wakeFd.reset(openWake());
    if (!watcher.wakeFd.valid()) {
        diagnoseAt(Severity::Error, "cannot make the loop's wake-up descriptor: %s", strerror(errno));
        return ExitUsage;
    }
    watcher.queue.folder = watcher.config.drop;
    removeOldRuns(watcher.config, wallClockNow());
    readLastImports(watcher);
    takeOverLeftovers(watcher, monotonicNow());
    if (watcher.once) {
        rescanFolder(watcher.queue, monotonicNow());
        holdUnsettledFiles(watcher, monotonicNow());
    } else {
        if (!watchFolder(watcher.queue, watcher.config.drop)) {
            diagnoseAt(Severity::Error, "cannot watch %s with inotify: %s", watcher.config.drop.c_str(),
                       strerror(errno));
            return ExitUsage;
        }
        diagnose("watching %s: settle %d s, %d retries, %zu file sections, %d imports at a time",
                 watcher.config.drop.c_str(), watcher.config.settleSeconds, watcher.config.retries,
                 watcher.config.rules.size(), watcher.parallel);
    }
    notifyReady(watcher, monotonicNow());
    return runWatcher(watcher, signalFd.get());
}
