#include "watch/runimport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/contract.h"
#include "common/diag.h"
#include "common/paths.h"
#include "watch/clocks.h"
#include "watch/crashpoint.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/journal.h"
#include "watch/names.h"
#include "watch/outcome.h"
#include "watch/runfolder.h"

namespace {

constexpr double TermGraceSeconds = 30;          // SIGTERM, then SIGKILL this much later
constexpr int FirstStartRetrySeconds = 1;        // a fork that failed for want of memory or processes
constexpr const char* JournalLogWords = "see the watcher's log";   // a receipt's stand-in for the journal program's words
// The file's name for the log: every control byte escaped.
std::string shown(const Job& job) {
    return shownName(job.record.name);
}

// The file the importer reads (path: its source, or after the import its
// work file) is as it was when it passed its checks: size and modification
// time. A file never checked counts as unchanged.
bool unchangedSinceChecked(const Job& job, const std::string& path) {
    if (job.record.checkedSize < 0) return true;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;   // gone: the importer says what it read
    return info.st_size == job.record.checkedSize && nanosecondsOf(info.st_mtim) == job.record.checkedModified;
}

// The line of an import that has ended: what became of the lines, the
// outcome, then what becomes of the file.
void logRun(const Job& job, double seconds, const std::string& then, Severity severity) {
    const RunOutcome& run = job.last;
    diagnoseAt(severity, "%s %s: %ld %s, %ld written, %ld failed, %ld wrong length, %s, exit %d, %.2f s; %s",
               shown(job).c_str(), job.record.rule.typeCode.c_str(), run.lines, run.lines == 1 ? "line" : "lines",
               run.written, run.failed, run.wrongLength, committedText(committedOf(run)), run.status, seconds,
               then.c_str());
}

// The imports that run now, against --parallel.
int importsRunning(const Watcher& watcher) {
    return static_cast<int>(std::count_if(watcher.jobs.begin(), watcher.jobs.end(), [](const Job& job) {
        return job.phase == Phase::Running && job.pid > 0;
    }));
}

// The wait for something away (the database, the journal): 30 s first,
// doubling up to 10 minutes. The first try of the wait starts it.
void backOff(const Watcher& watcher, AwayWait& wait, double now) {
    if (wait.since < 0) {
        wait.since = now;
        wait.delay = watcher.firstOutageDelay;
    } else {
        wait.delay = std::min(wait.delay * 2, MaxOutageDelay);
    }
}

// Whether the wait has lasted longer than outage-wait.
bool waitedTooLong(const Job& job, const AwayWait& wait, double now) {
    return now - wait.since + wait.delay > job.site.outageWait;
}

// The seconds before a retry; the last delay stands for any later one.
int retryDelay(const Watcher& watcher, int retry) {
    if (watcher.retryDelays.empty()) return 0;
    const size_t index = std::min(static_cast<size_t>(retry - 1), watcher.retryDelays.size() - 1);
    return watcher.retryDelays[index];
}

// The files of an import that is tried again keep its number.
bool keepAttemptFiles(const Job& job) {
    const std::string prefix = "attempt-" + std::to_string(job.record.attempt) + ".";
    for (const char* name : {OutputName, ErrorName, ReportName}) {
        const std::string kept = prefix + name;
        if (renameat(job.runFd.get(), name, job.runFd.get(), kept.c_str()) != 0 && errno != ENOENT) return false;
    }
    return syncFolder(job.runFd.get());
}

// The watcher notes an outage once, in the staging area too, where status
// reads it.
void outageStarts(Watcher& watcher, const Job& job, double now) {
    watcher.outageSince = now;
    watcher.outageFiles = 0;
    watcher.metricsDue = true;
    diagnoseAt(Severity::Warning, "the database is away: error %ld: %s; the files wait for it", job.last.connectError,
               job.last.connectText.c_str());
    writeFileDurably(watcher.stagingFd.get(), OutageFileName,
                     utcStamp(wallClockNow()) + " error " + std::to_string(job.last.connectError) + ": " +
                         job.last.connectText + "\n");
}

// The job waits for the database until its next try (with --once, for the
// next run). False: the job goes on waiting.
bool waitAway(Watcher& watcher, Job& job, double now) {
    job.phase = Phase::OutageWait;
    if (watcher.once) {
        watcher.awayFiles++;
        diagnose("%s %s: the database is away; the file waits in %s for the next run", shown(job).c_str(),
                 job.record.rule.typeCode.c_str(), job.folder.c_str());
        job.dueAt = -1;
        return false;
    }
    if (job.database.delay == watcher.firstOutageDelay) {
        diagnose("%s %s: waits for the database, first in %d s, then less often", shown(job).c_str(),
                 job.record.rule.typeCode.c_str(), job.database.delay);
    }
    job.dueAt = now + job.database.delay;
    return false;
}

// Why a file that waited for the database longer than outage-wait goes to
// failed/; the client's words on standard error only where they may stand.
std::string outageReason(const Job& job, OutputQuotes quotes, double now) {
    char reason[1200];
    const bool quoted = quotes == OutputQuotes::Kept;
    snprintf(reason, sizeof reason, "the database was away for %.0f s, longer than outage-wait = %d s (error %ld%s%s): "
             "nothing was committed", now - job.database.since, job.site.outageWait, job.last.connectError,
             quoted ? ": " : "", quoted ? job.last.connectText.c_str() : "");
    return reason;
}

// The database was away: the run did nothing, so its outputs go and it
// waits with back-off (30 s, doubling up to 10 minutes) for up to
// outage-wait seconds; --once leaves it for the next run. True when the
// job is over (it waited long enough and goes to failed/).
bool waitForDatabase(Watcher& watcher, Job& job, double now) {
    for (const std::string* path : {&job.files.out, &job.files.err, &job.files.report}) unlink(path->c_str());
    job.record.attempt--;
    if (watcher.outageSince < 0) outageStarts(watcher, job, now);
    if (job.database.since < 0) watcher.outageFiles++;
    backOff(watcher, job.database, now);
    job.duplicateAsked = false;   // another watcher's run may import it meanwhile
    if (waitedTooLong(job, job.database, now)) {
        const FailedReason reason = {outageReason(job, OutputQuotes::Kept, now), outageReason(job, OutputQuotes::Left, now)};
        return fileAsFailedQuoting(watcher, job, Committed::No, reason, now);
    }
    if (!recordStep(job, Step::Checked)) {
        return fileAsFailed(watcher, job, Committed::No, "the run record cannot be written: nothing was committed",
                            now);
    }
    return waitAway(watcher, job, now);
}

// An import connected: an outage, if there was one, is over.
void databaseIsThere(Watcher& watcher, Job& job, double now) {
    job.database.since = -1;
    if (watcher.outageSince < 0) return;
    diagnose("the database is back after %.0f s; %d files waited for it", now - watcher.outageSince,
             watcher.outageFiles);
    watcher.outageSince = -1;
    watcher.metricsDue = true;
    unlinkat(watcher.stagingFd.get(), OutageFileName, 0);
}

// A transaction abort another try may not meet, or an import ended at
// import-timeout that committed nothing: the job waits for its retry. False when it is not to be tried again.
bool retryLater(Watcher& watcher, Job& job, double seconds, double now) {
    const bool endedUncommitted = job.last.timedOut && committedOf(job.last) == Committed::No;
    if ((!isRetryable(job.last) && !endedUncommitted) || job.record.attempt > job.site.retries ||
        !keepAttemptFiles(job) || !recordStep(job, Step::Checked)) {
        return false;
    }
    const int delay = retryDelay(watcher, job.record.attempt);
    const std::string why = endedUncommitted ? "ended at import-timeout, nothing committed" : abortText(job.last.result);
    logRun(job, seconds,
           why + ", retry " + std::to_string(job.record.attempt) + " of " + std::to_string(job.site.retries) + " in " +
               std::to_string(delay) + " s",
           Severity::Warning);
    job.source = buildWorkPath(job.source);
    job.phase = Phase::RetryWait;
    job.dueAt = now + delay;
    return true;
}

// The end of an import that is not tried again: into archive/ when the
// file was imported whole (and not changed meanwhile), else into failed/.
bool fileTheImport(Watcher& watcher, Job& job, double seconds, double now) {
    const bool whole = importedWhole(job.last, job.record.rule);
    const bool archived = whole && unchangedSinceChecked(job, buildWorkPath(job.source));
    if (archived) {
        logRun(job, seconds, "imported whole", Severity::Info);
        return fileAsImported(watcher, job, now);
    }
    const FailedPlace place = {pathIn(job.site.failed, job.folderName), job.site.path};
    FailedReason reason = {failureReason(job.last, job.record, job.files.err, place, OutputQuotes::Kept),
                           failureReason(job.last, job.record, job.files.err, place, OutputQuotes::Left)};
    if (whole) {
        reason.full = "the file changed during its import (a sender still wrote it); the run was committed with what "
                      "the importer read, and the file as it is now is kept here";
        reason.forSender = reason.full;
    }
    if (heldByGuard(job.last)) {
        logRun(job, seconds, "held by the deletion guard, to be filed in failed/", Severity::Warning);
    } else {
        logRun(job, seconds, "to be filed in failed/", Severity::Error);
    }
    return fileAsFailedQuoting(watcher, job, committedOf(job.last), reason, now);
}

// duplicates = refuse: whether a committed run imported this file before
// is asked before each first import (again after the database was away).
bool duplicatesToAsk(const Job& job) {
    return !job.record.journal.empty() && job.site.refuseDuplicates && job.record.attempt == 0 &&
           !job.duplicateAsked;
}

// The journal this run writes to, whatever the configuration says now.
WatchConfig journalOf(const Job& job) {
    WatchConfig asked = job.site;
    asked.journal = job.record.journal;
    return asked;
}

// A question to the journal is under way: the job waits for its answer,
// which the loop reads when it comes. One that could not be started is
// answered at once.
bool awaitAnswer(Watcher& watcher, Job& job, double now) {
    job.phase = Phase::JournalWait;
    job.dueAt = -1;
    if (job.ask->over) return afterJournalAnswer(watcher, job, now);
    return false;
}

bool askWhetherImported(Watcher& watcher, Job& job, double now) {
    job.ask = askFileInJournal(journalOf(job), job.record.sha256, job.record.rule.typeCode, now);
    return awaitAnswer(watcher, job, now);
}

bool askWhatHappened(Watcher& watcher, Job& job, double now) {
    job.ask = askRunInJournal(journalOf(job), job.record.id, now);
    return awaitAnswer(watcher, job, now);
}

// The journal answered again after it could not be asked.
void journalIsThere(Watcher& watcher, const Job& job, double now) {
    if (watcher.journalAwaySince < 0) return;
    diagnose("the journal %s can be asked again after %.0f s", job.record.journal.c_str(),
             now - watcher.journalAwaySince);
    watcher.journalAwaySince = -1;
    watcher.journalAwayCause.clear();
    watcher.metricsDue = true;
}

// Why the journal's question was given up, with its cause: the journal
// program's words for the run folder, JournalLogWords for the receipt.
std::string journalGivenUpReason(const Job& job, const std::string& cause, double now) {
    char reason[1400];
    const bool beforeImport = job.ask->question == JournalQuestion::File;
    snprintf(reason, sizeof reason, "the journal %s could not be asked %s for %.0f s, longer than outage-wait = %d s "
             "(%s): %s", job.record.journal.c_str(), beforeImport ? "whether the file was imported before" :
             "whether the run committed", now - job.journal.since, job.site.outageWait, cause.c_str(),
             beforeImport ? "it was not imported" : "whether it was committed is unknown; look at the table before "
             "delivering the file again");
    return reason;
}

// The journal could not be asked for a job that waited longer than
// outage-wait: a file not yet imported goes to failed/ with nothing
// committed, a run whose outcome the journal was to tell with it unknown.
bool journalGivenUp(Watcher& watcher, Job& job, const std::string& cause, double now) {
    const bool beforeImport = job.ask->question == JournalQuestion::File;
    const Committed committed = beforeImport ? Committed::No : Committed::Unknown;
    const FailedReason reason = {journalGivenUpReason(job, cause, now), journalGivenUpReason(job, JournalLogWords, now)};
    job.ask.reset();
    return fileAsFailedQuoting(watcher, job, committed, reason, now);
}

// The journal cannot be asked: the file is not imported (or its outcome
// not settled) without its answer, so it waits as in an outage, with one
// line that names the cause, and is asked again with back-off.
bool journalAway(Watcher& watcher, Job& job, double now) {
    const std::string cause = journalTrouble(*job.ask);
    backOff(watcher, job.journal, now);
    if (watcher.journalAwaySince < 0) {
        watcher.journalAwaySince = now;
        watcher.journalAwayCause = cause;
        watcher.metricsDue = true;
    }
    if (waitedTooLong(job, job.journal, now)) return journalGivenUp(watcher, job, cause, now);
    const bool first = job.journal.delay == watcher.firstOutageDelay;
    if (watcher.once) {
        watcher.awayFiles++;
        job.dueAt = -1;
    } else {
        job.dueAt = now + job.journal.delay;
    }
    if (first || watcher.once) {
        diagnoseAt(Severity::Warning,
                   "%s %s: the journal %s cannot be asked (%s); the file waits for it and is not imported meanwhile, "
                   "%s",
                   shown(job).c_str(), job.record.rule.typeCode.c_str(), job.record.journal.c_str(), cause.c_str(),
                   watcher.once
                       ? "until the next run"
                       : ("asked again in " + std::to_string(job.journal.delay) + " s, then less often").c_str());
    }
    return false;
}

// The journal answered whether the file was imported before.
bool afterFileAnswer(Watcher& watcher, Job& job, double now) {
    std::string earlier;
    const JournalAnswer said = fileAnswer(*job.ask, earlier);
    if (said == JournalAnswer::CannotAsk) return journalAway(watcher, job, now);
    job.ask.reset();
    journalIsThere(watcher, job, now);
    if (said == JournalAnswer::Found) {
        const size_t blank = earlier.find(' ');
        const std::string reason = "already imported on " +
                                   (blank == std::string::npos ? earlier : earlier.substr(blank + 1)) + " UTC as run " +
                                   earlier.substr(0, blank) + " (the journal has its SHA-256 " + job.record.sha256 +
                                   "): not imported again, duplicates = refuse";
        return fileAsRefused(watcher, job, reason, now);
    }
    job.duplicateAsked = true;
    return startRun(watcher, job, now);
}

// The importer could not write its journal row because the journal is not
// there for it (no table, no right to insert): nothing was committed, and
// the file waits for the journal as it would for the database.
bool journalRowRefused(const RunOutcome& run) {
    return run.reported && !run.committed && run.ending == JournalFailedEnding &&
           isOneOf(run.result, JournalAwayErrors, std::size(JournalAwayErrors));
}

// The run ended at its journal row, so it committed nothing: its outputs
// go, as when the database was away, and the file waits for the journal.
bool waitForJournalTable(Watcher& watcher, Job& job, double now) {
    for (const std::string* path : {&job.files.out, &job.files.err, &job.files.report}) unlink(path->c_str());
    job.record.attempt--;
    job.duplicateAsked = false;
    if (!recordStep(job, Step::Checked)) {
        return fileAsFailed(watcher, job, Committed::No, "the run record cannot be written: nothing was committed",
                            now);
    }
    job.ask = std::make_shared<JournalAsk>();
    job.ask->question = JournalQuestion::File;
    job.ask->over = true;
    job.ask->trouble = "the importer could not write its journal row: error " + std::to_string(job.last.result);
    job.phase = Phase::JournalWait;
    return journalAway(watcher, job, now);
}

// The import is over and its outcome settled: another try after an abort,
// else filed.
bool concludeImport(Watcher& watcher, Job& job, double now) {
    const double seconds = now - job.started;
    if (retryLater(watcher, job, seconds, now)) return false;
    job.journal.since = -1;
    if (job.leftImport && !job.last.reported) {
        return fileAsFailed(watcher, job, Committed::Unknown,
                            "a watcher ended while this file's import ran, and the import left no run report: whether "
                            "it was committed is unknown; look at the table before delivering the file again", now);
    }
    return fileTheImport(watcher, job, seconds, now);
}

// The importer could not be started. A passing want (of processes or
// memory) is waited out with back-off; nothing ran, so the file never
// fails for it. Any other reason ends the job.
bool importNotStarted(Watcher& watcher, Job& job, const std::string& reason, double now) {
    const int error = errno;
    job.record.attempt--;
    job.last = RunOutcome();
    if (error != EAGAIN && error != ENOMEM) {
        return fileAsFailed(watcher, job, Committed::No, reason + "; nothing was committed", now);
    }
    if (!recordStep(job, Step::Checked)) {
        return fileAsFailed(watcher, job, Committed::No, "the run record cannot be written: nothing was committed",
                            now);
    }
    job.startDelay = job.startDelay <= 0 ? FirstStartRetrySeconds : std::min(job.startDelay * 2, MaxOutageDelay);
    diagnoseAt(Severity::Warning, "%s %s: %s; tried again in %d s", shown(job).c_str(),
               job.record.rule.typeCode.c_str(), reason.c_str(), job.startDelay);
    job.phase = Phase::StartWait;
    job.dueAt = now + job.startDelay;
    return false;
}

}  // namespace

bool startRun(Watcher& watcher, Job& job, double now) {
    if (!unchangedSinceChecked(job, job.source)) {
        return fileAsRefused(watcher, job,
                             "the file changed after its checks (the sender was still writing it): it was not imported",
                             now);
    }
    const bool waits = importsRunning(watcher) >= watcher.parallel || duplicatesToAsk(job);
    if (waits && !catchUpRecord(job)) {
        return fileAsFailed(watcher, job, Committed::No,
                            "not imported: the run record cannot be written: " + std::string(strerror(errno)), now);
    }
    if (importsRunning(watcher) >= watcher.parallel) {
        job.phase = Phase::StartWait;
        job.dueAt = -1;
        return false;
    }
    if (duplicatesToAsk(job)) return askWhetherImported(watcher, job, now);
    job.record.attempt++;
    if (!recordStep(job, Step::Started)) {
        job.record.attempt--;
        return fileAsFailed(watcher, job, Committed::No,
                            "the run record cannot be written: " + std::string(strerror(errno)), now);
    }
    job.started = now;
    job.dueAt = -1;
    job.stopAt = -1;
    job.timedOut = false;
    const ImportRequest request = {job.site,  job.record.rule,
                                   job.source, job.files,
                                   {job.record.journal, job.record.id, job.record.sha256},
                                   job.record.deletesAccepted, job.runFd.get()};
    std::string reason;
    if (!startImport(request, job.pid, reason)) return importNotStarted(watcher, job, reason, now);
    crashPoint("running");
    job.phase = Phase::Running;
    return false;
}

bool importDone(Watcher& watcher, Job& job, double now) {
    job.pid = -1;
    job.last.timedOut = job.timedOut;
    if (databaseAway(job.last)) return waitForDatabase(watcher, job, now);
    if (job.last.connectError == 0) databaseIsThere(watcher, job, now);
    if (journalRowRefused(job.last)) return waitForJournalTable(watcher, job, now);
    return settleImport(watcher, job, now);
}

bool settleImport(Watcher& watcher, Job& job, double now) {
    if (!job.record.journal.empty() && committedOf(job.last) == Committed::Unknown) {
        return askWhatHappened(watcher, job, now);
    }
    return concludeImport(watcher, job, now);
}

bool afterJournalAnswer(Watcher& watcher, Job& job, double now) {
    if (job.ask->question == JournalQuestion::File) return afterFileAnswer(watcher, job, now);
    RunOutcome fromJournal;
    const JournalAnswer said = runAnswer(*job.ask, fromJournal);
    if (said == JournalAnswer::CannotAsk) return journalAway(watcher, job, now);
    if (said == JournalAnswer::Found) {
        const bool timedOut = job.last.timedOut;
        job.last = fromJournal;
        job.last.timedOut = timedOut;
    } else {
        job.last.reported = true;
        job.last.committed = false;
        job.last.ending = "not in the journal, so nothing was committed";
    }
    job.ask.reset();
    journalIsThere(watcher, job, now);
    return concludeImport(watcher, job, now);
}

bool askAgain(Watcher& watcher, Job& job, double now) {
    const bool beforeImport = job.ask != nullptr && job.ask->question == JournalQuestion::File;
    job.ask.reset();
    if (beforeImport) return startRun(watcher, job, now);   // it asks first where duplicates are refused
    return askWhatHappened(watcher, job, now);
}

void endOverdueImports(Watcher& watcher, double now) {
    for (Job& job : watcher.jobs) {
        if (job.phase != Phase::Running || job.pid <= 0) continue;
        if (!job.timedOut && now - job.started >= job.site.importTimeout) {
            diagnoseAt(Severity::Warning,
                       "%s %s: the import has run %.0f s, longer than import-timeout = %d s: it is ended (SIGTERM, "
                       "then SIGKILL after %.0f s); its outcome is settled as for a lost report",
                       shown(job).c_str(), job.record.rule.typeCode.c_str(), now - job.started, job.site.importTimeout,
                       TermGraceSeconds);
            kill(-job.pid, SIGTERM);
            kill(-job.pid, SIGCONT);   // a stopped importer takes its SIGTERM only once it goes on
            job.timedOut = true;
            job.stopAt = now + TermGraceSeconds;
        } else if (job.timedOut && job.stopAt >= 0 && now >= job.stopAt) {
            diagnoseAt(Severity::Warning, "%s %s: the import did not end on SIGTERM within %.0f s: SIGKILL",
                       shown(job).c_str(), job.record.rule.typeCode.c_str(), TermGraceSeconds);
            kill(-job.pid, SIGKILL);
            job.stopAt = -1;
        }
    }
}

double nextImportDeadline(const Watcher& watcher) {
    double next = -1;
    for (const Job& job : watcher.jobs) {
        if (job.phase != Phase::Running || job.pid <= 0) continue;
        const double at = job.timedOut ? job.stopAt : job.started + job.site.importTimeout;
        if (at >= 0 && (next < 0 || at < next)) next = at;
    }
    return next;
}
