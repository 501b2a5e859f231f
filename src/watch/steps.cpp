#include "watch/steps.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/paths.h"
#include "watch/acceptance.h"
#include "watch/checks.h"
#include "watch/crashpoint.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/history.h"
#include "watch/metrics.h"
#include "watch/journal.h"
#include "watch/marker.h"
#include "watch/names.h"
#include "watch/outcome.h"
#include "watch/take.h"

namespace {

constexpr const char* ConvertingName = ".converting";
constexpr int MaxOutageDelay = 600;
constexpr size_t MaxMarkerBytes = 4096;
constexpr const char* OutputName = "stdout.cp1252";
constexpr const char* ErrorName = "stderr.cp1252";   // Windows-1252 as the importer writes it; UTF-8 when filed
constexpr const char* ReportName = "report.json";

// The file's name for the log: every control byte escaped.
std::string shown(const Job& job) {
    return shownName(job.record.name);
}

// With a journal: the SHA-256 of the file the importer will read, and the
// journal its imports write to, both kept in the run's record.
bool takeJournalFacts(Job& job, std::string& reason) {
    job.record.journal = job.site.journal;
    if (job.record.journal.empty()) return true;
    FileDigest digest;
    if (!digestFile(job.source, digest)) {
        reason = std::string("not imported: its SHA-256 cannot be taken: ") + strerror(errno);
        return false;
    }
    job.record.sha256 = digest.sha256;
    return true;
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

long long nanosecondsOf(const timespec& time) {
    return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
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

// Converts a UTF-8 delivery into the file the importer reads.
bool convertDelivered(Job& job, const std::string& delivered, std::string& reason) {
    const std::string fileFolder = pathIn(job.folder, FileFolder);
    const std::string converting = pathIn(fileFolder, ConvertingName);
    if (!checkFile(delivered, job.record.rule, converting, reason)) {
        unlink(converting.c_str());
        return false;
    }
    int folder = openFolder(AT_FDCWD, fileFolder);
    const bool renamed = folder >= 0 && renameat(folder, ConvertingName, folder, importName(job.record.name).c_str()) == 0 &&
                         syncFolder(folder);
    if (folder >= 0) close(folder);
    if (!renamed) reason = std::string("the converted file cannot be kept: ") + strerror(errno);
    return renamed;
}

// The line of an import that has ended: what became of the lines, the
// outcome, then what becomes of the file.
void logRun(const Job& job, double seconds, const std::string& then) {
    const RunOutcome& run = job.last;
    diagnose("%s %s: %ld %s, %ld written, %ld failed, %ld wrong length, %s, exit %d, %.2f s; %s", shown(job).c_str(),
             job.record.rule.typeCode.c_str(), run.lines, run.lines == 1 ? "line" : "lines", run.written, run.failed,
             run.wrongLength, committedText(committedOf(run)), run.status, seconds, then.c_str());
}

// The abort a retry follows, by name: "lock wait timeout (1205)".
std::string abortText(long error) {
    static const std::pair<long, const char*> names[] = {
        {1213, "deadlock"},           {1205, "lock wait timeout"},   {1927, "connection killed"},
        {2006, "server gone away"},   {2013, "connection lost"},     {2055, "connection lost while reading"}};
    for (const auto& [number, name] : names) {
        if (number == error) return std::string(name) + " (" + std::to_string(error) + ")";
    }
    return "error " + std::to_string(error);
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
        if (renameat(job.runFd, name, job.runFd, kept.c_str()) != 0 && errno != ENOENT) return false;
    }
    return syncFolder(job.runFd);
}

}  // namespace

std::string pathIn(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

void removeMarkerFromDrop(Watcher& watcher, const Job& job) {
    if (job.record.marker.empty()) return;
    removeCopiedEntry(watcher.dropFd, job.record.marker, job.record.markerDevice, job.record.markerInode);
}

// Records the step before it is taken; false when the record cannot be
// written (the disk is full): the step is then not taken.
bool recordStep(Job& job, Step step) {
    job.record.step = step;
    if (writeRunRecord(job.runFd, job.record)) {
        crashPoint(stepName(step));
        return true;
    }
    diagnose("%s: cannot write the run record in %s: %s", shown(job).c_str(), job.folder.c_str(), strerror(errno));
    return false;
}

void closeRun(Job& job) {
    if (job.runFd >= 0) close(job.runFd);
    job.runFd = -1;
}

void setRunPaths(const Watcher& watcher, Job& job) {
    job.folder = pathIn(watcher.staging, job.folderName);
    job.files = {pathIn(job.folder, OutputName), pathIn(job.folder, ErrorName), pathIn(job.folder, ReportName)};
    job.source = pathIn(pathIn(job.folder, FileFolder), importName(job.record.name));
}

// Files the run into archive/ or failed/ as its record says. True once the
// run folder is there, complete; otherwise it stays whole in staging and is
// tried again later.
bool fileRun(Watcher& watcher, Job& job, double now) {
    const std::string& base = job.record.archived ? job.site.archive : job.site.failed;
    int baseFd = openFolder(AT_FDCWD, base);
    std::string filedName;
    const char* step = "open";
    bool filed = false;
    if (baseFd >= 0 && findFiledCopy(baseFd, job.folderName, job.record, filedName)) {
        step = "remove the staging copy of";
        filed = removeStagingCopy(watcher.stagingFd, job.folderName, job.record.id);
    } else if (baseFd >= 0) {
        step = "complete the run folder in the staging area for";
        filed = completeRunFolder(job.runFd, job.record.reason) && recordStep(job, Step::Filing);
        if (filed) step = "move the run folder into";
        filed = filed && moveRunFolder(watcher.stagingFd, job.folderName, job.record.id, baseFd, filedName);
    }
    const int error = errno;
    if (baseFd >= 0) close(baseFd);
    if (!filed) {
        if (job.record.archived && job.phase != Phase::FilingWait) watcher.failedFiles++;
        diagnose("%s %s: not filed: cannot %s %s: %s; the run stays whole in %s and is filed once that works",
                 shown(job).c_str(), job.record.rule.typeCode.c_str(), step, base.c_str(), strerror(error),
                 job.folder.c_str());
        job.phase = Phase::FilingWait;
        job.dueAt = watcher.once ? -1 : now + std::max(1, job.site.settleSeconds);
        return false;
    }
    const std::string folder = pathIn(base, filedName);
    TypeCounts& counts = watcher.typeCounts[job.record.rule.typeCode];
    if (job.record.archived) {
        diagnose("%s %s: archived in %s (%s)", shown(job).c_str(), job.record.rule.typeCode.c_str(), folder.c_str(),
                 job.record.outcome.c_str());
        counts.imported++;
        counts.lastWhole = std::max(counts.lastWhole, stampTime(job.record.stamp));
        noteLastImport(watcher.stagingFd, job.record.rule.typeCode, job.record.stamp);
    } else {
        diagnose("%s %s: to %s (%s): %s", shown(job).c_str(), job.record.rule.typeCode.c_str(), folder.c_str(),
                 job.record.outcome.c_str(), job.record.reason.c_str());
        counts.failed++;
        if (job.record.held) counts.held++;
        startFailedHook(job.site, {folder, shown(job), job.record.rule.typeCode, job.record.outcome, job.record.reason},
                        now, watcher.hooks);
    }
    closeRun(job);
    writeMetrics(watcher, now);
    return true;
}

// The end of a job: its verdict counted and recorded, then the filing.
// True when the job is over (filed).
bool finishRun(Watcher& watcher, Job& job, bool archived, Committed committed, const std::string& reason,
               double now) {
    job.record.archived = archived;
    job.record.held = !archived && heldByGuard(job.last);
    job.record.outcome = committedText(committed);
    job.record.reason = reason;
    if (!archived) watcher.failedFiles++;
    if (committed == Committed::Unknown) watcher.unknownFiles++;
    return fileRun(watcher, job, now);
}

// The file as delivered, in the run folder: a UTF-8 delivery keeps it in
// delivered/ (file/ holds its conversion), any other in file/.
std::string deliveredCopy(const Job& job) {
    const char* folder = job.record.rule.utf8 ? DeliveredFolder : FileFolder;
    return pathIn(pathIn(job.folder, folder), importName(job.record.name));
}

// requeue --accept-deletes left an acceptance for a file of this name: the
// first file of the name taken after it spends it, and goes unguarded when
// it has the accepted bytes. Noted in the run's record, so that its retries
// go unguarded too.
void takeDeletesAcceptance(Watcher& watcher, Job& job) {
    if (job.record.deletesAccepted || !acceptanceWaits(watcher.stagingFd, job.record.name)) return;
    FileDigest digest;
    const std::string sha256 = digestFile(deliveredCopy(job), digest) ? digest.sha256 : "";
    const Acceptance taken = takeAcceptance(watcher.stagingFd, job.record.name, sha256);
    if (taken == Acceptance::Failed) {
        diagnose("%s %s: the acceptance of its deletions cannot be used up (%s): the deletion guard applies",
                 shown(job).c_str(), job.record.rule.typeCode.c_str(), strerror(errno));
    } else if (taken == Acceptance::OtherBytes) {
        diagnose("%s %s: the acceptance of deletions for a file of this name was for other bytes (this one has "
                 "SHA-256 %s): it is spent, and the deletion guard applies", shown(job).c_str(),
                 job.record.rule.typeCode.c_str(), sha256.c_str());
    } else {
        job.record.deletesAccepted = true;
        diagnose("%s %s: its deletions were accepted (requeue --accept-deletes, SHA-256 %s): imported without the "
                 "deletion guard, once", shown(job).c_str(), job.record.rule.typeCode.c_str(), sha256.c_str());
    }
}

// Starts the job's next import; one that cannot start ends the job, with
// nothing committed.
bool startRun(Watcher& watcher, Job& job, double now) {
    if (!unchangedSinceChecked(job, job.source)) {
        return finishRun(watcher, job, false, Committed::No,
                         "the file changed after its checks (the sender was still writing it): it was not imported",
                         now);
    }
    std::string reason;
    if (!notImportedBefore(job, reason)) return finishRun(watcher, job, false, Committed::No, reason, now);
    job.record.attempt++;
    if (!recordStep(job, Step::Started)) {
        job.record.attempt--;
        return finishRun(watcher, job, false, Committed::No, "the run record cannot be written: " +
                         std::string(strerror(errno)), now);
    }
    job.started = now;
    job.dueAt = -1;
    const ImportRequest request = {job.site,  job.record.rule,
                                   job.source, job.files,
                                   {job.record.journal, job.record.id, job.record.sha256},
                                   job.record.deletesAccepted, job.runFd};
    if (!startImport(request, job.pid, reason)) {
        job.last = RunOutcome();
        return finishRun(watcher, job, false, Committed::No, reason + "; nothing was committed", now);
    }
    crashPoint("running");
    job.phase = Phase::Running;
    return false;
}

// The file as delivered against its marker's lines; false with the reason.
bool matchesMarker(const Job& job, std::string& reason) {
    if (job.record.rule.marker.empty()) return true;
    const std::string delivered = deliveredCopy(job);
    std::string text;
    FileDigest digest;
    int markers = openFolder(job.runFd, MarkerFolder);
    const bool read = markers >= 0 && readSmallFile(markers, importName(job.record.marker), MaxMarkerBytes, text);
    if (markers >= 0) close(markers);
    if (!read || !digestFile(delivered, digest)) {
        reason = std::string("the file or its marker cannot be read: ") + strerror(errno);
        return false;
    }
    return fileMatchesMarker(text, digest, reason);
}

// Checks the taken file (converting it when its section says so), then
// starts its import. True when the job is over.
bool checkAndStart(Watcher& watcher, Job& job, double now) {
    takeDeletesAcceptance(watcher, job);
    std::string reason;
    if (!matchesMarker(job, reason)) return finishRun(watcher, job, false, Committed::No, reason, now);
    const std::string name = importName(job.record.name);
    const bool passed = job.record.rule.utf8
                            ? convertDelivered(job, pathIn(pathIn(job.folder, DeliveredFolder), name), reason)
                            : checkFile(job.source, job.record.rule, "", reason);
    if (!passed) return finishRun(watcher, job, false, Committed::No, "not imported: " + reason, now);
    struct stat info;
    if (stat(job.source.c_str(), &info) == 0) {
        job.record.checkedSize = info.st_size;
        job.record.checkedModified = nanosecondsOf(info.st_mtim);
    }
    if (!takeJournalFacts(job, reason)) return finishRun(watcher, job, false, Committed::No, reason, now);
    if (!recordStep(job, Step::Checked)) {
        return finishRun(watcher, job, false, Committed::No,
                         "not imported: the run record cannot be written: " + std::string(strerror(errno)), now);
    }
    return startRun(watcher, job, now);
}

// The database was away: the run did nothing, so its outputs go and it
// waits with back-off (30 s, doubling up to 10 minutes) for up to
// outage-wait seconds; --once leaves it for the next run. True when the
// job is over (it waited long enough and goes to failed/).
bool waitForDatabase(Watcher& watcher, Job& job, double now) {
    for (const std::string* path : {&job.files.out, &job.files.err, &job.files.report}) unlink(path->c_str());
    job.record.attempt--;
    if (watcher.outageSince < 0) {
        watcher.outageSince = now;
        watcher.outageFiles = 0;
        diagnose("the database is away: error %ld: %s; the files wait for it", job.last.connectError,
                 job.last.connectText.c_str());
        writeFileDurably(watcher.stagingFd, OutageFileName,
                         utcStamp(time(nullptr)) + " error " + std::to_string(job.last.connectError) + ": " +
                             job.last.connectText + "\n");
    }
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
        return finishRun(watcher, job, false, Committed::No, reason, now);
    }
    if (!recordStep(job, Step::Checked)) {
        return finishRun(watcher, job, false, Committed::No, "the run record cannot be written: nothing was committed",
                         now);
    }
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

// An import connected: an outage, if there was one, is over.
void databaseIsThere(Watcher& watcher, Job& job, double now) {
    job.awaySince = -1;
    if (watcher.outageSince < 0) return;
    diagnose("the database is back after %.0f s; %d files waited for it", now - watcher.outageSince,
             watcher.outageFiles);
    watcher.outageSince = -1;
    unlinkat(watcher.stagingFd, OutageFileName, 0);
}

// An import has ended: another try, or the end of the job. True when the
// job is over.
bool importDone(Watcher& watcher, Job& job, double now) {
    const double seconds = now - job.started;
    job.pid = -1;
    if (databaseAway(job.last)) return waitForDatabase(watcher, job, now);
    if (job.last.connectError == 0) databaseIsThere(watcher, job, now);
    askJournalWhatHappened(job);
    if (isRetryable(job.last) && job.record.attempt <= job.site.retries && keepAttemptFiles(job) &&
        recordStep(job, Step::Checked)) {
        const int delay = retryDelay(watcher, job.record.attempt);
        logRun(job, seconds, abortText(job.last.result) + ", retry " + std::to_string(job.record.attempt) + " of " +
                                 std::to_string(job.site.retries) + " in " + std::to_string(delay) + " s");
        job.source = buildWorkPath(job.source);
        job.phase = Phase::RetryWait;
        job.dueAt = now + delay;
        return false;
    }
    const bool archived = importedWhole(job.last, job.record.rule) && unchangedSinceChecked(job, buildWorkPath(job.source));
    const FailedPlace place = {pathIn(job.site.failed, job.folderName), job.site.path};
    std::string reason = archived ? "" : failureReason(job.last, job.record, job.files.err, place);
    if (!archived && importedWhole(job.last, job.record.rule)) {
        reason = "the file changed during its import (a sender still wrote it); the run was committed with what the "
                 "importer read, and the file as it is now is kept here";
    }
    logRun(job, seconds, archived                  ? "imported whole"
                         : heldByGuard(job.last) ? "held by the deletion guard, to be filed in failed/"
                                                 : "to be filed in failed/");
    return finishRun(watcher, job, archived, committedOf(job.last), reason, now);
}

// A run whose outcome its report cannot tell (no report, a connection lost
// during the COMMIT): the journal can, where there is one.
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
