#include "watch/filing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "common/charset.h"
#include "common/diag.h"
#include "common/fd.h"
#include "common/fileio.h"
#include "common/strutil.h"
#include "watch/clocks.h"
#include "watch/crashpoint.h"
#include "watch/durable.h"
#include "watch/hook.h"
#include "watch/lastimports.h"
#include "watch/metrics.h"
#include "watch/names.h"
#include "watch/receipt.h"
#include "watch/runfolder.h"

namespace {

constexpr int MaxFolderNumber = 1000;
constexpr size_t ConversionPiece = 64 * 1024;
constexpr std::string_view OutputEnding = ".cp1252";
constexpr const char* ConvertedEnding = ".txt";
constexpr const char* PartialPrefix = ".kelvora-partial-";
constexpr const char* FiledPrefix = ".filed-";   // a staging folder whose copy is filed: it only goes

std::string candidateName(const std::string& folderName, int number) {
    return number == 1 ? folderName : folderName + "-" + std::to_string(number);
}

// Converts what in holds into out, piece by piece.
bool convertInto(int in, int out) {
    CharsetConversion conversion;
    if (!openConversion(conversion, Windows1252, Utf8, Unconvertible::Replace)) return false;
    static unsigned char piece[ConversionPiece];
    std::string converted;
    for (;;) {
        ssize_t got = read(in, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        converted.clear();
        if (got == 0) return finishConversion(conversion, converted) && writeAll(out, converted.data(), converted.size());
        convertPiece(conversion, piece, static_cast<size_t>(got), converted);
        if (!writeAll(out, converted.data(), converted.size())) return false;
    }
}

// One output file as UTF-8 beside it, flushed and in place, the folder not
// yet flushed (completeRunFolder does that once for all of them).
bool convertOutput(int folder, const std::string& name) {
    UniqueFd in(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return false;
    const std::string target = name.substr(0, name.size() - OutputEnding.size()) + ConvertedEnding;
    std::string temporary;
    int out = createTemporary(folder, target, temporary);
    return out >= 0 && finishTemporaryUnsynced(out, convertInto(in.get(), out), folder, temporary, target);
}

// The reason as a file of the run folder, flushed and in place, the folder
// not yet flushed.
bool writeReason(int folder, const std::string& reason) {
    std::string temporary;
    const int out = createTemporary(folder, ReasonFileName, temporary);
    const std::string text = reason + "\n";
    return out >= 0 &&
           finishTemporaryUnsynced(out, writeAll(out, text.data(), text.size()), folder, temporary, ReasonFileName);
}

// Removes the staging folder of a run whose copy is filed: first out of the
// run folders' sight with one rename, then with all it holds.
bool removeStagingCopy(int staging, const std::string& folderName, const std::string& runId) {
    const std::string filed = FiledPrefix + runId;
    return renameat(staging, folderName.c_str(), staging, filed.c_str()) == 0 && syncFolder(staging) &&
           removeTree(staging, filed) && syncFolder(staging);
}

// Across file systems: a hidden copy, flushed, renamed into place; then
// the staging copy goes.
bool copyRunFolder(int staging, const std::string& folderName, const std::string& runId, int base,
                   std::string& filedName) {
    const std::string partial = PartialPrefix + runId;
    if (!removeTree(base, partial) || !copyTree(staging, folderName, base, partial)) return false;
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        if (renameNoReplace(base, partial, base, filedName)) {
            if (!syncFolder(base)) return false;
            crashPoint("moved");
            return removeStagingCopy(staging, folderName, runId);
        }
        if (errno != EEXIST) break;
    }
    const int error = errno;
    removeTree(base, partial);
    errno = error;
    return false;
}

// Writes the reason (when not empty) and turns each output file
// "*.cp1252" (Windows-1252, as the importer writes it) into "*.txt" in
// UTF-8. One flush of the folder brings the new files' entries to the disk
// before the Windows-1252 files go; their removal reaches it with the
// record Filing, written next, which flushes the folder again. A crash
// before that leaves a Windows-1252 file beside its conversion, which the
// filing converts again. False, with errno, when a step failed.
bool completeRunFolder(int runFolder, const std::string& reason) {
    if (!reason.empty() && !writeReason(runFolder, reason)) return false;
    std::vector<std::string> names;
    std::vector<std::string> converted;
    if (!listFolder(runFolder, names)) return false;
    for (const std::string& name : names) {
        if (!endsWith(name, OutputEnding)) continue;
        if (!convertOutput(runFolder, name)) return false;
        converted.push_back(name);
    }
    if (!syncFolder(runFolder)) return false;
    for (const std::string& name : converted) {
        if (unlinkat(runFolder, name.c_str(), 0) != 0) return false;
    }
    return true;
}

// Moves folderName of the staging area into base, as folderName or with
// "-2", "-3", ... after it; filedName is the name it got. Across file
// systems the copy is named after the run's id on its way. False, with
// errno, when it is not there complete (it then stays whole in staging).
bool moveRunFolder(int staging, const std::string& folderName, const std::string& runId, int base,
                   std::string& filedName) {
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        if (renameNoReplace(staging, folderName, base, filedName)) {
            crashPoint("moved");
            return syncFolder(base) && syncFolder(staging);
        }
        if (errno == EXDEV) return copyRunFolder(staging, folderName, runId, base, filedName);
        if (errno != EEXIST) return false;
    }
    return false;
}

// Whether this run (by its id) is in base already, complete: an earlier
// watcher was stopped between the copy across file systems and the
// removal of the staging folder.
bool findFiledCopy(int base, const std::string& folderName, const RunRecord& record, std::string& filedName) {
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        UniqueFd folder(openFolder(base, filedName));
        if (!folder.valid()) return false;
        RunRecord filed;
        const bool same = readRunRecord(folder.get(), filed) && !record.id.empty() && filed.id == record.id &&
                          filed.step == Step::Filing;
        if (same) return true;
    }
    return false;
}

// The run folder moved into base, or found there already (a watcher was
// stopped between the copy across file systems and the removal of the
// staging copy). False, with step saying what failed (errno).
bool moveIntoBase(Watcher& watcher, Job& job, int base, std::string& filedName, const char*& step) {
    if (findFiledCopy(base, job.folderName, job.record, filedName)) {
        step = "remove the staging copy of";
        return removeStagingCopy(watcher.stagingFd.get(), job.folderName, job.record.id);
    }
    step = "complete the run folder in the staging area for";
    if (!completeRunFolder(job.runFd.get(), job.record.reason) || !recordStep(job, Step::Filing)) return false;
    step = "move the run folder into";
    return moveRunFolder(watcher.stagingFd.get(), job.folderName, job.record.id, base, filedName);
}

// A run folder that could not be filed stays whole in staging and is tried
// again later.
void waitToFile(Watcher& watcher, Job& job, const char* step, const std::string& base, int error, double now) {
    if (job.record.archived && job.phase != Phase::FilingWait) watcher.failedFiles++;
    diagnoseAt(Severity::Error,
               "%s %s: not filed: cannot %s %s: %s; the run stays whole in %s and is filed once that works",
               shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), step, base.c_str(),
               strerror(error), job.folder.c_str());
    job.phase = Phase::FilingWait;
    job.dueAt = watcher.once ? -1 : now + std::max(1, job.site.settleSeconds);
}

// How a run filed into failed/ counts for the journal: a warning when it
// was held by the deletion guard or refused before any import (nothing was
// sent), an error when an import failed or its outcome is unknown.
Severity failedSeverity(const RunRecord& record) {
    const bool refused = record.attempt == 0 && record.outcome == committedText(Committed::No);
    return record.held || refused ? Severity::Warning : Severity::Error;
}

// The filed run, counted for the metrics and told: in the log and to the
// on-failed hook.
void tellFiled(Watcher& watcher, const Job& job, const std::string& folder, double now) {
    const std::string shown = shownName(job.record.name);
    const char* type = job.record.rule.typeCode.c_str();
    TypeCounts& counts = watcher.typeCounts[job.record.rule.typeCode];
    watcher.lastFiled = shown + " " + job.record.rule.typeCode + (job.record.archived ? " archived" : " to failed/") +
                        " at " + utcText(wallClockNow());
    if (job.record.archived) {
        diagnose("%s %s: archived in %s (%s)", shown.c_str(), type, folder.c_str(), job.record.outcome.c_str());
        counts.imported++;
        counts.lastWhole = std::max(counts.lastWhole, stampTime(job.record.stamp));
        return;
    }
    diagnoseAt(failedSeverity(job.record), "%s %s: to %s (%s): %s", shown.c_str(), type, folder.c_str(),
               job.record.outcome.c_str(), job.record.reason.c_str());
    counts.failed++;
    if (job.record.held) counts.held++;
    watcher.unseenFailed.push_back({folder, stampTime(job.record.stamp)});
    startFailedHook(job.site, {folder, shown, job.record.rule.typeCode, job.record.outcome, job.record.reason}, now,
                    watcher.hooks);
}

enum class Verdict { Imported, Failed, Refused };

// The end of a job: its verdict counted and recorded, then the filing. A
// committed run is noted first (its table holds that file now), before the
// filing a crash could cut.
bool fileWithVerdict(Watcher& watcher, Job& job, Verdict verdict, Committed committed, const FailedReason& reason,
                     double now) {
    const bool archived = verdict == Verdict::Imported;
    job.record.archived = archived;
    job.record.held = !archived && heldByGuard(job.last);
    job.record.refused = verdict == Verdict::Refused;
    job.record.outcome = committedText(committed);
    job.record.reason = reason.full;
    job.record.senderReason = reason.forSender;
    if (!archived) watcher.failedFiles++;
    if (committed == Committed::Unknown) watcher.unknownFiles++;
    if (committed == Committed::Yes && !noteLastImport(watcher.stagingFd.get(), job.record)) {
        diagnoseAt(Severity::Warning,
                   "%s %s: the note of the last import in %s/%s cannot be written: %s; an older file that comes later "
                   "may not be recognized as older",
                   shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), watcher.staging.c_str(),
                   LastImportsName, strerror(errno));
    }
    return fileRun(watcher, job, now);
}

}  // namespace

bool fileAsImported(Watcher& watcher, Job& job, double now) {
    return fileWithVerdict(watcher, job, Verdict::Imported, Committed::Yes, {}, now);
}

bool fileAsFailed(Watcher& watcher, Job& job, Committed committed, const std::string& reason, double now) {
    return fileWithVerdict(watcher, job, Verdict::Failed, committed, {reason, reason}, now);
}

bool fileAsFailedQuoting(Watcher& watcher, Job& job, Committed committed, const FailedReason& reason, double now) {
    return fileWithVerdict(watcher, job, Verdict::Failed, committed, reason, now);
}

bool fileAsRefused(Watcher& watcher, Job& job, const std::string& reason, double now) {
    return fileWithVerdict(watcher, job, Verdict::Refused, Committed::No, {reason, reason}, now);
}

// True once the run folder is there, complete.
bool fileRun(Watcher& watcher, Job& job, double now) {
    const std::string& base = job.record.archived ? job.site.archive : job.site.failed;
    UniqueFd baseFd(openFolder(AT_FDCWD, base));
    std::string filedName;
    const char* step = "open";
    const bool filed = baseFd.valid() && moveIntoBase(watcher, job, baseFd.get(), filedName, step);
    if (!filed) {
        waitToFile(watcher, job, step, base, errno, now);
        return false;
    }
    const std::string filedFolder = pathIn(base, filedName);
    tellFiled(watcher, job, filedFolder, now);
    writeReceipt(job, filedFolder);
    closeRun(job);
    writeMetrics(watcher, now);
    return true;
}

void removeFiledLeftovers(int staging) {
    std::vector<std::string> names;
    if (!listFolder(staging, names)) return;
    for (const std::string& name : names) {
        if (name.compare(0, strlen(FiledPrefix), FiledPrefix) == 0) removeTree(staging, name);
    }
    syncFolder(staging);
}
