#include "watch/jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/lock.h"
#include "watch/marker.h"
#include "watch/names.h"
#include "watch/pairing.h"
#include "watch/steps.h"
#include "watch/take.h"

namespace {

// A type code is busy while a file of it is in work, waits, or sits in a
// run folder that another process holds.
bool busyFor(const Watcher& watcher, const std::string& typeCode) {
    return std::any_of(watcher.jobs.begin(), watcher.jobs.end(),
                       [&](const Job& job) { return job.record.rule.typeCode == typeCode; });
}

// Makes the run folder of a file about to be taken, locked, with its
// subfolder for the file.
bool makeRun(Watcher& watcher, Job& job, const char* subfolder) {
    job.folderName = runFolderName(job.record.stamp, job.record.name);
    for (int number = 2; mkdirat(watcher.stagingFd, job.folderName.c_str(), RunFolderMode) != 0; ++number) {
        if (errno != EEXIST || number > 1000) return false;
        job.folderName = runFolderName(job.record.stamp, job.record.name) + "-" + std::to_string(number);
    }
    setRunPaths(watcher, job);
    job.runFd = openFolder(watcher.stagingFd, job.folderName);
    if (job.runFd >= 0 && fchmod(job.runFd, RunFolderMode) == 0 && lockRun(job.runFd) &&
        makeFolder(job.runFd, FileFolder, RunFolderMode, false) &&
        (subfolder == nullptr || makeFolder(job.runFd, subfolder, RunFolderMode, false)) &&
        syncFolder(job.runFd) && syncFolder(watcher.stagingFd)) {
        return true;
    }
    const int error = errno;
    closeRun(job);
    removeTree(watcher.stagingFd, job.folderName);
    errno = error;
    return false;
}

// Files in work count against --parallel; runs that wait to be filed or
// that another process holds only hold back their type code.
int importsInWork(const Watcher& watcher) {
    return static_cast<int>(std::count_if(watcher.jobs.begin(), watcher.jobs.end(), [](const Job& job) {
        return job.phase == Phase::Running || job.phase == Phase::RetryWait;
    }));
}

// A file that could not be taken stays in the drop folder, named (once
// for each reason), and is tried again at the next rescan; no later file of
// its type code is taken before it.
void leaveInDrop(Watcher& watcher, const std::string& name, const std::string& why) {
    DropFile& file = watcher.queue.files[name];
    if (file.failure != why) {
        diagnose("%s: %s; it stays in %s and is tried again", shownName(name).c_str(), why.c_str(),
                 watcher.config.drop.c_str());
    }
    file.failure = why;
    file.held = true;
    file.takeFailed = true;
    watcher.failedFiles++;
}

// The type codes whose older file could not be taken and waits for its
// next try: their later files wait too, so that the order holds.
std::set<std::string> typesBehindAFailedTake(const Watcher& watcher) {
    std::set<std::string> types;
    for (const auto& [name, file] : watcher.queue.files) {
        const FileRule* rule = file.takeFailed && file.held ? ruleFor(watcher.config, name.c_str()) : nullptr;
        if (rule != nullptr) types.insert(rule->typeCode);
    }
    return types;
}

// A file that a process on this machine still has open for writing is not
// taken: it waits for its close (inotify), or with --once for the next run.
void stillWritten(Watcher& watcher, const std::string& name) {
    DropFile& file = watcher.queue.files[name];
    if (!file.open) {
        diagnose("%s is still open for writing on this machine: it is taken once it is closed%s",
                 shownName(name).c_str(), watcher.once ? " (by the next run)" : "");
    }
    file.open = true;
    file.held = watcher.once;
}

// Where the watcher cannot tell an open writer (no lease to be had), the
// settle time alone decides; said once.
void cannotSeeWriters(Watcher& watcher, int error) {
    if (watcher.leaseUnknownSaid) return;
    watcher.leaseUnknownSaid = true;
    diagnose("cannot tell whether a file in %s is still open for writing (%s%s): the settle time alone decides; a "
             "sender on another machine needs a marker file or a transfer name", watcher.config.drop.c_str(),
             strerror(error), error == EACCES || error == EPERM ? ", the watcher needs CAP_LEASE" : "");
}

// Copies the file's marker into the run folder (it leaves the drop folder
// once the file is taken). False when it is gone (trouble empty: looked at
// again) or cannot be had (trouble says why: the file waits, and its type
// code with it).
bool copyMarker(Watcher& watcher, Job& job, const std::string& marker, std::string& trouble) {
    struct stat info;
    TakeResult result = TakeResult::Taken;
    std::string reason;
    int fd = openDropEntry(watcher.dropFd, marker, info, result, reason);
    if (fd < 0) {
        if (result != TakeResult::Gone) trouble = "its marker " + shownName(marker) + " cannot be read: " + reason;
        return false;
    }
    int folder = makeFolder(job.runFd, MarkerFolder, RunFolderMode, false) ? openFolder(job.runFd, MarkerFolder) : -1;
    const bool copied = folder >= 0 && copyDurably(fd, folder, importName(marker));
    if (!copied) trouble = "its marker " + shownName(marker) + " cannot be copied: " + strerror(errno);
    if (folder >= 0) close(folder);
    close(fd);
    job.record.marker = marker;
    job.record.markerDevice = info.st_dev;
    job.record.markerInode = info.st_ino;
    return copied;
}

// Drops the run folder of a file that went back (or never left) the drop
// folder.
void dropRun(Watcher& watcher, Job& job) {
    closeRun(job);
    removeTree(watcher.stagingFd, job.folderName);
    syncFolder(watcher.stagingFd);
}

// Takes one complete file: opens it once, moves that file into a new run
// folder, then checks and imports it there. True when a job was added.
bool takeFile(Watcher& watcher, const std::string& name, const FileRule& rule, double now) {
    struct stat info;
    TakeResult result = TakeResult::Taken;
    std::string reason;
    int fd = openDropEntry(watcher.dropFd, name, info, result, reason);
    if (fd < 0) {
        if (result == TakeResult::NotAFile && firstSight(watcher.queue, name, info.st_ino)) {
            noteNotAFile(watcher.queue, name, reason);
        }
        if (result == TakeResult::HasHoles) {
            diagnose("%s in %s is %s: it is not taken", shownName(name).c_str(), watcher.config.drop.c_str(),
                     reason.c_str());
            watcher.queue.files[name].held = true;
        }
        if (result == TakeResult::Gone) forgetFile(watcher.queue, name);
        if (result == TakeResult::Failed) leaveInDrop(watcher, name, reason);
        return false;
    }
    int leaseError = 0;
    const Writers writers = keepWritersOut(fd, leaseError);
    if (writers == Writers::Writing) {
        close(fd);
        stillWritten(watcher, name);
        return false;
    }
    if (writers == Writers::Unknown) cannotSeeWriters(watcher, leaseError);
    Job job;
    job.record.name = name;
    job.record.id = newRunId();
    job.record.drop = watcher.config.drop;
    job.record.stamp = utcStamp(time(nullptr));
    job.record.rule = rule;
    job.record.dropDevice = info.st_dev;
    job.record.dropInode = info.st_ino;
    job.site = watcher.config;
    const char* into = rule.utf8 ? DeliveredFolder : FileFolder;
    const bool made = makeRun(watcher, job, rule.utf8 ? DeliveredFolder : nullptr);
    std::string markerTrouble;
    if (made && !rule.marker.empty() && !copyMarker(watcher, job, markerNameOf(rule, name), markerTrouble)) {
        close(fd);
        dropRun(watcher, job);
        forgetFile(watcher.queue, markerNameOf(rule, name));   // looked at again by the next rescan
        if (!markerTrouble.empty()) leaveInDrop(watcher, name, markerTrouble);
        return false;
    }
    if (!made || !recordStep(job, Step::Taking)) {
        close(fd);
        dropRun(watcher, job);
        leaveInDrop(watcher, name, "cannot make its run folder in " + watcher.staging + ": " + strerror(errno));
        return false;
    }
    int target = openFolder(job.runFd, into);
    result = target < 0 ? TakeResult::Failed
                        : moveIntoRun(watcher.dropFd, name, fd, info, target, importName(name), reason);
    const bool kept = target >= 0 && faccessat(target, importName(name).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    if (target >= 0) close(target);
    if (writers == Writers::None) releaseWriters(fd);
    close(fd);
    if (result == TakeResult::Gone || (result == TakeResult::Failed && !kept)) {
        dropRun(watcher, job);
        if (result == TakeResult::Gone) forgetFile(watcher.queue, name);
        if (result == TakeResult::Failed) leaveInDrop(watcher, name, reason);
        return false;
    }
    forgetFile(watcher.queue, name);
    if (!job.record.marker.empty()) forgetFile(watcher.queue, job.record.marker);
    watcher.jobs.push_back(job);
    Job& taken = watcher.jobs.back();
    const bool over = result == TakeResult::Failed
                          ? finishRun(watcher, taken, false, Committed::No, "not imported: " + reason, now)
                          : recordStep(taken, Step::Taken) ? (removeMarkerFromDrop(watcher, taken),
                                                              checkAndStart(watcher, taken, now))
                                                           : finishRun(watcher, taken, false, Committed::No,
                                                                       "not imported: the run record cannot be "
                                                                       "written", now);
    if (over) watcher.jobs.pop_back();
    return true;
}

// Removes the jobs that are over from the list.
void removeJob(Watcher& watcher, size_t& index) {
    watcher.jobs.erase(watcher.jobs.begin() + static_cast<long>(index));
}

}  // namespace

bool openStaging(Watcher& watcher) {
    watcher.staging = pathIn(watcher.config.workdir, StagingFolderName);
    if (!makeFolder(AT_FDCWD, watcher.staging, StagingMode, true)) {
        diagnose("cannot make the staging area %s: %s", watcher.staging.c_str(), strerror(errno));
        return false;
    }
    watcher.stagingFd = openFolder(AT_FDCWD, watcher.staging);
    if (watcher.stagingFd < 0 || fchmod(watcher.stagingFd, StagingMode) != 0) {
        diagnose("cannot use the staging area %s: %s", watcher.staging.c_str(), strerror(errno));
        return false;
    }
    unlinkat(watcher.stagingFd, OutageFileName, 0);   // an earlier watcher's: this one has not seen the database yet
    loadNamed(watcher.queue, pathIn(watcher.staging, NamedFileName));
    return true;
}

void startCompleteFiles(Watcher& watcher, double now) {
    if (watcher.stopping) return;
    std::set<std::string> waiting = typesBehindAFailedTake(watcher);   // type codes whose older file waits
    const std::vector<std::string> names = completeFiles(watcher.queue, now, watcher.config.settleSeconds, watcher.once);
    const std::set<std::string> complete(names.begin(), names.end());
    nameMissingHalves(watcher, now, complete);
    for (const std::string& name : names) {
        if (isMarkerName(watcher.config, name)) continue;   // it goes with its file
        const FileRule* rule = ruleFor(watcher.config, name.c_str());
        if (rule != nullptr && (!markerReady(*rule, name, complete) || markerShared(watcher, *rule, name))) continue;
        if (rule == nullptr) {
            DropFile& file = watcher.queue.files[name];
            if (firstSight(watcher.queue, name, file.inode)) {
                diagnose("%s matches no [file ...] section of %s: it stays in %s", shownName(name).c_str(),
                         watcher.config.path.c_str(), watcher.config.drop.c_str());
            }
            file.held = true;
            continue;
        }
        if (waiting.count(rule->typeCode) != 0 || busyFor(watcher, rule->typeCode)) {
            waiting.insert(rule->typeCode);
            continue;
        }
        if (importsInWork(watcher) >= watcher.parallel) break;
        takeFile(watcher, name, *rule, now);
    }
    saveNamedIfChanged(watcher.queue);
}

void collectEndedImports(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        if (job.phase == Phase::Running && job.pid > 0 && importEnded(job.pid, job.files, job.last) && importDone(watcher, job, now)) {
            removeJob(watcher, i);
            continue;
        }
        ++i;
    }
}

// A run left by an earlier watcher goes on in the order the runs were
// taken: after every older run of its type code, and within --parallel.
bool mayResume(const Watcher& watcher, size_t index) {
    const Job& job = watcher.jobs[index];
    for (size_t i = 0; i < index; ++i) {
        if (watcher.jobs[i].record.rule.typeCode == job.record.rule.typeCode) return false;
    }
    return importsInWork(watcher) < watcher.parallel;
}

void startDueWork(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        bool over = false;
        if (job.phase == Phase::Resume && !watcher.stopping && mayResume(watcher, i)) {
            over = resumeRun(watcher, job, now);
        } else if (job.phase != Phase::Resume && job.dueAt >= 0 && job.dueAt <= now) {
            if ((job.phase == Phase::RetryWait || job.phase == Phase::OutageWait) && !watcher.stopping) {
                over = startRun(watcher, job, now);
            }
            if (job.phase == Phase::FilingWait) over = fileRun(watcher, job, now);
            if (job.phase == Phase::Locked) over = lookAtLockedRun(watcher, job, now);
        }
        if (over) {
            removeJob(watcher, i);
            continue;
        }
        ++i;
    }
}

void leaveWaitingRuns(Watcher& watcher) {
    for (Job& job : watcher.jobs) {
        if (job.phase == Phase::Locked || job.phase == Phase::Resume) {
            diagnose("%s: the run in %s is left for the next start", shownName(job.record.name).c_str(),
                     job.folder.c_str());
        } else if (job.phase == Phase::OutageWait) {
            diagnose("%s %s: stopped while it waits for the database; the run stays in %s, and the next start "
                     "tries it first", shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(),
                     job.folder.c_str());
        } else if (job.phase == Phase::RetryWait) {
            diagnose("%s %s: stopped before retry %d; the run stays in %s, and the next start retries it",
                     shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), job.record.attempt, job.folder.c_str());
        } else if (job.phase == Phase::FilingWait) {
            diagnose("%s %s: stopped before it could be filed; the run stays whole in %s, and the next start files it",
                     shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), job.folder.c_str());
        }
        closeRun(job);
    }
    watcher.jobs.clear();
}

double nextDue(const Watcher& watcher) {
    double next = -1;
    for (const Job& job : watcher.jobs) {
        if (job.phase != Phase::Running && job.phase != Phase::Resume && job.dueAt >= 0 &&
            (next < 0 || job.dueAt < next)) {
            next = job.dueAt;
        }
    }
    return next;
}

// A held run of this drop folder is held by an importer that outlived its
// watcher (one watcher per drop folder): its end is near, and --once waits
// for it. One without a record is left for the next run.
namespace {
bool waitsForIt(const Watcher& watcher, const Job& job) {
    return job.phase == Phase::Locked && job.record.drop == watcher.config.drop;
}
}  // namespace

bool onceIsDone(const Watcher& watcher) {
    for (size_t i = 0; i < watcher.jobs.size(); ++i) {
        const Job& job = watcher.jobs[i];
        if (waitsForIt(watcher, job)) return false;
        if (job.phase == Phase::FilingWait || job.phase == Phase::Locked) continue;
        if (job.phase == Phase::OutageWait && job.dueAt < 0) continue;
        if (job.phase != Phase::Resume) return false;
        // A left run behind one that waits to be filed or is held waits with it.
        const bool stuck = std::any_of(watcher.jobs.begin(), watcher.jobs.begin() + static_cast<long>(i),
                                       [&](const Job& older) {
                                           return older.record.rule.typeCode == job.record.rule.typeCode &&
                                                  (older.phase == Phase::FilingWait || older.phase == Phase::Locked ||
                                                   older.phase == Phase::OutageWait);
                                       });
        if (!stuck) return false;
    }
    return true;
}
