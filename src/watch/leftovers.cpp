#include "watch/leftovers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/fd.h"
#include "common/paths.h"
#include "watch/checks.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/outcome.h"
#include "watch/runfolder.h"
#include "watch/runimport.h"
#include "watch/take.h"

namespace {

constexpr double LockLookSeconds = 1;

// A run folder without a record was made and left before its file moved:
// it holds nothing of a sender.
bool holdsAFile(int runFolder) {
    for (const char* sub : {FileFolder, DeliveredFolder}) {
        UniqueFd folder(openFolder(runFolder, sub));
        std::vector<std::string> names;
        if (folder.valid()) listFolder(folder.get(), names);
        if (!names.empty()) return true;
    }
    return false;
}

// Forgets the run: its folder goes (it holds no file of a sender).
bool dropEmptyRun(Watcher& watcher, Job& job) {
    closeRun(job);
    removeTree(watcher.stagingFd.get(), job.folderName);
    syncFolder(watcher.stagingFd.get());
    return true;
}

// What arrived in the run folder before the stop: the watcher's own copy,
// or the file that was opened (moved with a rename). Anything else came
// with a sender's swap that the stop kept from being checked: it goes back
// to the drop folder unread (a non-file is removed).
bool arrivedWhole(Watcher& watcher, int folder, const std::string& name, const RunRecord& record) {
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const bool opened = info.st_dev == record.dropDevice && info.st_ino == record.dropInode;
    if (S_ISREG(info.st_mode) && (opened || isOwnFile(info))) return true;
    if (!S_ISREG(info.st_mode) || !renameNoReplace(folder, name, watcher.dropFd.get(), record.name)) {
        unlinkat(folder, name.c_str(), 0);
    }
    return false;
}

// Taking: the file may be in the run folder, in the drop folder, or (a
// copy) in both.
bool finishTaking(Watcher& watcher, Job& job, double now) {
    const std::string name = importName(job.record.name);
    UniqueFd target(openFolder(job.runFd.get(), job.record.rule.utf8 ? DeliveredFolder : FileFolder));
    const bool taken = target.valid() && arrivedWhole(watcher, target.get(), name, job.record);
    target.reset();
    if (!taken) return dropEmptyRun(watcher, job);
    removeCopiedEntry(watcher.dropFd.get(), job.record.name, job.record.dropDevice, job.record.dropInode);
    removeMarkerFromDrop(watcher, job);
    if (!recordStep(job, Step::Taken)) {
        return fileAsFailed(watcher, job, Committed::No, "not imported: the run record cannot be written", now);
    }
    return checkAndStart(watcher, job, now);
}

// Started: the import ran, or was about to. Its report says how it ended;
// without one, it never ran when it left no standard error (the importer's
// process flushes that file's entry before it starts the importer), the
// journal may know where the run wrote to one, and otherwise no one does.
bool collectLeftImport(Watcher& watcher, Job& job, double now) {
    RunOutcome& run = job.last;
    run = RunOutcome();
    run.reported = readReport(job.files.report, run);
    job.started = now;
    if (run.reported) {
        run.status = run.reportedStatus;
        return importDone(watcher, job, now);
    }
    if (!hasEntry(job.runFd.get(), ErrorName)) {
        job.record.attempt--;
        return startRun(watcher, job, now);
    }
    job.leftImport = true;
    return settleImport(watcher, job, now);
}

// A run folder without a readable record that holds a file all the same.
bool fileUnrecorded(Watcher& watcher, Job& job, double now) {
    job.record.name = job.folderName;
    job.record.stamp = job.folderName.substr(0, job.folderName.find('_'));
    return fileAsFailed(watcher, job, Committed::Unknown,
                        "a watcher ended before it recorded this run, and its record cannot be read: whether it was "
                        "imported is unknown; look at the table before delivering the file again", now);
}

// Goes on with a run whose lock this watcher now holds, from its step.
bool takeOverRun(Watcher& watcher, Job& job, double now) {
    if (job.record.name.empty()) {
        return holdsAFile(job.runFd.get()) ? fileUnrecorded(watcher, job, now) : dropEmptyRun(watcher, job);
    }
    setRunPaths(watcher, job);
    const std::string work = buildWorkPath(job.source);
    if (job.record.attempt > 0 && access(job.source.c_str(), F_OK) != 0 && access(work.c_str(), F_OK) == 0) {
        job.source = work;
    }
    diagnose("%s %s: a watcher ended while this file was in work; going on from the step \"%s\" in %s",
             shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), stepName(job.record.step),
             job.folder.c_str());
    if (job.record.step != Step::Taking) removeMarkerFromDrop(watcher, job);
    switch (job.record.step) {
    case Step::Taking:
        return finishTaking(watcher, job, now);
    case Step::Taken:
    case Step::Checked:
        return job.record.attempt == 0 ? checkAndStart(watcher, job, now) : startRun(watcher, job, now);
    case Step::Started:
        return collectLeftImport(watcher, job, now);
    case Step::Filing:
        if (!job.record.archived) watcher.failedFiles++;
        if (job.record.outcome == committedText(Committed::Unknown)) watcher.unknownFiles++;
        return fileRun(watcher, job, now);
    }
    return false;
}

// A run folder of the staging area as a job: resumed from its step, or
// waiting for the process that holds it.
void addLeftover(Watcher& watcher, const std::string& name, double now) {
    Job job;
    job.folderName = name;
    job.folder = pathIn(watcher.staging, name);
    job.site = watcher.config;
    job.runFd.reset(openFolder(watcher.stagingFd.get(), name));
    if (!job.runFd.valid()) return;
    if (!readRunRecord(job.runFd.get(), job.record)) job.record = RunRecord();
    if (!job.record.drop.empty() && job.record.drop != watcher.config.drop) return;   // another watcher's
    if (!lockRun(job.runFd.get())) {
        diagnoseAt(Severity::Warning,
                   "%s: the run in %s is held by an importer that outlived its watcher, or by another watcher; "
                   "it is filed once that ends, and no %s file is taken meanwhile",
                   shownName(job.record.name).c_str(), job.folder.c_str(),
                   job.record.rule.typeCode.empty() ? "other" : job.record.rule.typeCode.c_str());
        job.phase = Phase::Locked;
        job.dueAt = now + LockLookSeconds;
    } else {
        job.phase = Phase::Resume;
    }
    watcher.jobs.push_back(std::move(job));
}

}  // namespace

void takeOverLeftovers(Watcher& watcher, double now) {
    removeFiledLeftovers(watcher.stagingFd.get());
    for (const RunFolderEntry& entry : listRunFolders(watcher.stagingFd.get())) addLeftover(watcher, entry.name, now);
}

bool lookAtLockedRun(Watcher& watcher, Job& job, double now) {
    if (!lockRun(job.runFd.get())) {
        job.dueAt = now + LockLookSeconds;
        return false;
    }
    struct stat info;
    if (fstat(job.runFd.get(), &info) != 0 || !isSameFile(watcher.stagingFd.get(), job.folderName, info)) {
        closeRun(job);   // its holder filed it
        return true;
    }
    if (!readRunRecord(job.runFd.get(), job.record)) job.record = RunRecord();
    job.phase = Phase::Resume;
    job.dueAt = -1;
    return false;
}

bool resumeRun(Watcher& watcher, Job& job, double now) {
    job.phase = Phase::Running;   // until a step says otherwise
    return takeOverRun(watcher, job, now);
}
