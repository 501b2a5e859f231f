#include "watch/runimport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The file's name for the log: every control byte escaped.
std::string shown(const Job& job) {
    return shownName(job.record.name);
}

// duplicates = refuse: whether a committed run imported this file before.
// Asked before each first import (again after the database was away); a
// journal that cannot be asked now lets the import's own connection decide,
// and says so.
bool notImportedBefore(Job& job, std::string& reason) {
    if (job.record.journal.empty() || !job.site.refuseDuplicates || job.record.attempt > 0) return true;
    WatchConfig asked = job.site;
    asked.journal = job.record.journal;
    std::string earlier;
    const JournalAnswer said = askFileInJournal(asked, job.record.sha256, job.record.rule.typeCode, earlier);
    if (said == JournalAnswer::CannotAsk) {
        diagnose("%s %s: the journal %s cannot be asked whether the file was imported before; it is imported",
                 shown(job).c_str(), job.record.rule.typeCode.c_str(), job.record.journal.c_str());
    }
    if (said != JournalAnswer::Found) return true;
    const size_t blank = earlier.find(' ');
    reason = "already imported on " + (blank == std::string::npos ? earlier : earlier.substr(blank + 1)) +
             " UTC as run " + earlier.substr(0, blank) + " (the journal has its SHA-256 " + job.record.sha256 +
             "): not imported again, duplicates = refuse";
    return false;
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
void logRun(const Job& job, double seconds, const std::string& then) {
    const RunOutcome& run = job.last;
    diagnose("%s %s: %ld %s, %ld written, %ld failed, %ld wrong length, %s, exit %d, %.2f s; %s", shown(job).c_str(),
             job.record.rule.typeCode.c_str(), run.lines, run.lines == 1 ? "line" : "lines", run.written, run.failed,
             run.wrongLength, committedText(committedOf(run)), run.status, seconds, then.c_str());
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
    diagnose("the database is away: error %ld: %s; the files wait for it", job.last.connectError,
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
    if (job.awayDelay == watcher.firstOutageDelay) {
        diagnose("%s %s: waits for the database, first in %d s, then less often", shown(job).c_str(),
                 job.record.rule.typeCode.c_str(), job.awayDelay);
    }
    job.dueAt = now + job.awayDelay;
    return false;
}

// The database was away: the run did nothing, so its outputs go and it
// waits with back-off (30 s, doubling up to 10 minutes) for up to
// outage-wait seconds; --once leaves it for the next run. True when the
// job is over (it waited long enough and goes to failed/).
bool waitForDatabase(Watcher& watcher, Job& job, double now) {
    for (const std::string* path : {&job.files.out, &job.files.err, &job.files.report}) unlink(path->c_str());
    job.record.attempt--;
    if (watcher.outageSince < 0) outageStarts(watcher, job, now);
    if (job.awaySince < 0) {
        watcher.outageFiles++;
        job.awaySince = now;
        job.awayDelay = watcher.firstOutageDelay;
    } else {
        job.awayDelay = std::min(job.awayDelay * 2, MaxOutageDelay);
    }
    if (now - job.awaySince + job.awayDelay > job.site.outageWait) {
        char reason[1200];
        snprintf(reason, sizeof reason, "the database was away for %.0f s, longer than outage-wait = %d s (error %ld: "
                 "%s): nothing was committed", now - job.awaySince, job.site.outageWait, job.last.connectError,
                 job.last.connectText.c_str());
        return fileAsFailed(watcher, job, Committed::No, reason, now);
    }
    if (!recordStep(job, Step::Checked)) {
        return fileAsFailed(watcher, job, Committed::No, "the run record cannot be written: nothing was committed",
                            now);
    }
    return waitAway(watcher, job, now);
}

// An import connected: an outage, if there was one, is over.
void databaseIsThere(Watcher& watcher, Job& job, double now) {
    job.awaySince = -1;
    if (watcher.outageSince < 0) return;
    diagnose("the database is back after %.0f s; %d files waited for it", now - watcher.outageSince,
             watcher.outageFiles);
    watcher.outageSince = -1;
    unlinkat(watcher.stagingFd.get(), OutageFileName, 0);
}

// A transaction abort another try may not meet: the job waits for its
// retry. False when it is not to be tried again.
bool retryLater(Watcher& watcher, Job& job, double seconds, double now) {
    if (!isRetryable(job.last) || job.record.attempt > job.site.retries || !keepAttemptFiles(job) ||
        !recordStep(job, Step::Checked)) {
        return false;
    }
    const int delay = retryDelay(watcher, job.record.attempt);
    logRun(job, seconds, abortText(job.last.result) + ", retry " + std::to_string(job.record.attempt) + " of " +
                             std::to_string(job.site.retries) + " in " + std::to_string(delay) + " s");
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
        logRun(job, seconds, "imported whole");
        return fileAsImported(watcher, job, now);
    }
    const FailedPlace place = {pathIn(job.site.failed, job.folderName), job.site.path};
    std::string reason = failureReason(job.last, job.record, job.files.err, place);
    if (whole) {
        reason = "the file changed during its import (a sender still wrote it); the run was committed with what the "
                 "importer read, and the file as it is now is kept here";
    }
    logRun(job, seconds, heldByGuard(job.last) ? "held by the deletion guard, to be filed in failed/"
                                               : "to be filed in failed/");
    return fileAsFailed(watcher, job, committedOf(job.last), reason, now);
}

}  // namespace

bool startRun(Watcher& watcher, Job& job, double now) {
    if (!unchangedSinceChecked(job, job.source)) {
        return fileAsFailed(watcher, job, Committed::No,
                            "the file changed after its checks (the sender was still writing it): it was not imported",
                            now);
    }
    std::string reason;
    if (!notImportedBefore(job, reason)) return fileAsFailed(watcher, job, Committed::No, reason, now);
    job.record.attempt++;
    if (!recordStep(job, Step::Started)) {
        job.record.attempt--;
        return fileAsFailed(watcher, job, Committed::No,
                            "the run record cannot be written: " + std::string(strerror(errno)), now);
    }
    job.started = now;
    job.dueAt = -1;
    const ImportRequest request = {job.site,  job.record.rule,
                                   job.source, job.files,
                                   {job.record.journal, job.record.id, job.record.sha256},
                                   job.record.deletesAccepted, job.runFd.get()};
    if (!startImport(request, job.pid, reason)) {
        job.last = RunOutcome();
        return fileAsFailed(watcher, job, Committed::No, reason + "; nothing was committed", now);
    }
    crashPoint("running");
    job.phase = Phase::Running;
    return false;
}

bool importDone(Watcher& watcher, Job& job, double now) {
    const double seconds = now - job.started;
    job.pid = -1;
    if (databaseAway(job.last)) return waitForDatabase(watcher, job, now);
    if (job.last.connectError == 0) databaseIsThere(watcher, job, now);
    askJournalWhatHappened(job);
    if (retryLater(watcher, job, seconds, now)) return false;
    return fileTheImport(watcher, job, seconds, now);
}

void askJournalWhatHappened(Job& job) {
    if (job.record.journal.empty() || committedOf(job.last) != Committed::Unknown) return;
    WatchConfig asked = job.site;
    asked.journal = job.record.journal;   // the one this run wrote to, whatever the configuration says now
    RunOutcome fromJournal;
    const JournalAnswer said = askRunInJournal(asked, job.record.id, fromJournal);
    if (said == JournalAnswer::Found) {
        job.last = fromJournal;
    } else if (said == JournalAnswer::Absent) {
        job.last.reported = true;
        job.last.committed = false;
        job.last.ending = "not in the journal, so nothing was committed";
    }
}
