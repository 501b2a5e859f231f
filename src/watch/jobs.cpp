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
#include "watch/checks.h"
#include "watch/filing.h"
#include "watch/journal.h"
#include "watch/leftovers.h"
#include "watch/names.h"
#include "watch/order.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/runimport.h"
#include "watch/take.h"

namespace {

// A type code is busy while a file of it is in work, waits, or sits in a
// run folder that another process holds.
bool busyFor(const Watcher& watcher, const std::string& typeCode) {
    return std::any_of(watcher.jobs.begin(), watcher.jobs.end(),
                       [&](const Job& job) { return job.record.rule.typeCode == typeCode; });
}

// Files in work count against --parallel; runs that wait to be filed or
// that another process holds only hold back their type code.
int importsInWork(const Watcher& watcher) {
    return static_cast<int>(std::count_if(watcher.jobs.begin(), watcher.jobs.end(), [](const Job& job) {
        return job.phase == Phase::Running || job.phase == Phase::RetryWait;
    }));
}

// The type codes whose older file could not be taken and waits for its
// next try: their later files wait too, so that the order holds.
std::set<std::string> typesBehindAFailedTake(const Watcher& watcher) {
    std::set<std::string> types;
    for (const auto& [name, file] : watcher.queue.files) {
        const FileRule* rule = file.takeFailed && file.held ? sectionOfEntry(watcher, name, file).rule : nullptr;
        if (rule != nullptr) types.insert(rule->typeCode);
    }
    return types;
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

// A held run of this drop folder is held by an importer that outlived its
// watcher (one watcher per drop folder): its end is near, and --once waits
// for it. One without a record is left for the next run.
bool waitsForIt(const Watcher& watcher, const Job& job) {
    return job.phase == Phase::Locked && job.record.drop == watcher.config.drop;
}

// Removes the jobs that are over from the list.
void removeJob(Watcher& watcher, size_t& index) {
    watcher.jobs.erase(watcher.jobs.begin() + static_cast<long>(index));
}

}  // namespace

bool openStaging(Watcher& watcher) {
    watcher.staging = pathIn(watcher.config.workdir, StagingFolderName);
    if (!makeFolderIn(watcher.config.workdir, StagingFolderName, StagingMode, ExistingFolder::Take)) {
        diagnoseAt(Severity::Error, "cannot make the staging area %s: %s", watcher.staging.c_str(), strerror(errno));
        return false;
    }
    watcher.stagingFd.reset(openFolder(AT_FDCWD, watcher.staging));
    if (!watcher.stagingFd.valid() || fchmod(watcher.stagingFd.get(), StagingMode) != 0) {
        diagnoseAt(Severity::Error, "cannot use the staging area %s: %s", watcher.staging.c_str(), strerror(errno));
        return false;
    }
    unlinkat(watcher.stagingFd.get(), OutageFileName, 0);   // an earlier watcher's: this one has not seen the database yet
    loadNamed(watcher.queue, pathIn(watcher.staging, NamedFileName));
    return true;
}

void startCompleteFiles(Watcher& watcher, double now) {
    if (watcher.stopping) return;
    noteEntrySections(watcher);
    std::set<std::string> waiting = typesBehindAFailedTake(watcher);   // type codes whose older file waits
    const std::vector<std::string> names =
        completeFiles(watcher.queue, now, watcher.config.settleSeconds, settleClockOf(watcher));
    const std::set<std::string> complete(names.begin(), names.end());
    const MarkerOwners owners = markerOwners(watcher);
    nameMissingHalves(watcher, now, complete, owners);
    const std::map<std::string, OrderKey> notReady = filesNotReady(watcher, complete);
    for (const std::string& name : names) {
        const auto found = watcher.queue.files.find(name);
        if (found == watcher.queue.files.end()) continue;   // taken with its file in this pass
        DropFile& file = found->second;
        const EntrySection entry = sectionOfEntry(watcher, name, file);
        if (entry.marker) continue;   // it goes with its file
        const FileRule* rule = entry.rule;
        if (rule != nullptr && (!markerReady(*rule, name, complete) || markerShared(watcher, owners, *rule, name))) {
            continue;
        }
        if (rule == nullptr) {
            if (firstSight(watcher.queue, name, file.inode)) {
                diagnoseAt(Severity::Warning, "%s matches no [file ...] section of %s: it stays in %s",
                           shownName(name).c_str(), watcher.config.path.c_str(), watcher.config.drop.c_str());
            }
            file.held = true;
            continue;
        }
        if (waiting.count(rule->typeCode) != 0 || busyFor(watcher, rule->typeCode) ||
            olderFileWaits(watcher, notReady, *rule, name)) {
            waiting.insert(rule->typeCode);
            continue;
        }
        if (importsInWork(watcher) >= watcher.parallel) break;
        takeFile(watcher, name, *rule, now);
    }
    saveNamedIfChanged(watcher.queue);
}

// Work beside the loop that has ended: its step goes on.
void collectBackgroundWork(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        bool over = false;
        if (job.work != nullptr && backgroundDone(*job.work)) {
            finishBackground(*job.work);
            job.work.reset();
            over = job.phase == Phase::Taking ? afterCopy(watcher, job, now) : afterChecks(watcher, job, now);
        }
        if (over) {
            removeJob(watcher, i);
            continue;
        }
        ++i;
    }
}

void stopBackgroundWork(Watcher& watcher) {
    for (Job& job : watcher.jobs) {
        if (job.work != nullptr) askToStop(*job.work);
    }
}

void collectJournalAnswers(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        const bool asking = job.phase == Phase::JournalWait && job.ask != nullptr && !job.ask->over;
        if (asking && journalAnswered(*job.ask, now) && afterJournalAnswer(watcher, job, now)) {
            removeJob(watcher, i);
            continue;
        }
        ++i;
    }
}

void endJournalQuestions(Watcher& watcher) {
    for (Job& job : watcher.jobs) {
        if (job.ask != nullptr && !job.ask->over) endAsk(*job.ask);
    }
}

double nextAnswerDeadline(const Watcher& watcher) {
    double next = -1;
    for (const Job& job : watcher.jobs) {
        if (job.ask == nullptr || job.ask->over) continue;
        if (next < 0 || job.ask->deadline < next) next = job.ask->deadline;
    }
    return next;
}

bool backgroundWorkRuns(const Watcher& watcher) {
    return std::any_of(watcher.jobs.begin(), watcher.jobs.end(), [](const Job& job) { return job.work != nullptr; });
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

void startDueWork(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        bool over = false;
        if (job.phase == Phase::Resume && !watcher.stopping && mayResume(watcher, i)) {
            over = resumeRun(watcher, job, now);
        } else if (job.phase == Phase::StartWait && !watcher.stopping && job.dueAt <= now) {
            over = startRun(watcher, job, now);
        } else if (job.phase != Phase::Resume && job.dueAt >= 0 && job.dueAt <= now) {
            if ((job.phase == Phase::RetryWait || job.phase == Phase::OutageWait) && !watcher.stopping) {
                over = startRun(watcher, job, now);
            }
            if (job.phase == Phase::JournalWait && !watcher.stopping) over = askAgain(watcher, job, now);
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
        } else if (job.phase == Phase::StartWait || job.phase == Phase::JournalWait) {
            diagnose("%s %s: stopped while it waits to be imported; the run stays in %s, and the next start imports "
                     "it", shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), job.folder.c_str());
        }
        closeRun(job);
    }
    watcher.jobs.clear();
}

double nextDue(const Watcher& watcher) {
    double next = -1;
    for (const Job& job : watcher.jobs) {
        if (job.phase != Phase::Running && job.phase != Phase::Resume && job.work == nullptr && job.dueAt >= 0 &&
            (next < 0 || job.dueAt < next)) {
            next = job.dueAt;
        }
    }
    return next;
}

bool onceIsDone(const Watcher& watcher) {
    for (size_t i = 0; i < watcher.jobs.size(); ++i) {
        const Job& job = watcher.jobs[i];
        if (waitsForIt(watcher, job)) return false;
        if (job.phase == Phase::FilingWait || job.phase == Phase::Locked) continue;
        if (job.phase == Phase::OutageWait && job.dueAt < 0) continue;
        if (job.phase == Phase::JournalWait && job.dueAt < 0 && job.ask != nullptr && job.ask->over) continue;
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
