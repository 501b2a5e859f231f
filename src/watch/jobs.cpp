#include "watch/jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/paths.h"
#include "watch/archive.h"
#include "watch/checks.h"
#include "watch/lock.h"

namespace {

constexpr mode_t FolderMode = 0755;
constexpr const char* ReasonFileName = "reason";
constexpr size_t LastLineBytes = 1024;

// A type code is busy while a file of it runs or waits for its retry; a
// work file name while a job uses it (a.txt and a.csv both become a.wrk).
bool busyFor(const Watcher& watcher, const FileRule& rule, const std::string& name) {
    const std::string work = buildWorkPath(name);
    return std::any_of(watcher.jobs.begin(), watcher.jobs.end(), [&](const Job& job) {
        return job.rule.typeCode == rule.typeCode || buildWorkPath(job.name) == work;
    });
}

std::string pathIn(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

// The last line of a small text file (the importer's standard error), for
// a reason that has nothing better to say.
std::string lastLineOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "";
    const std::streamoff size = in.tellg();
    const std::streamoff start = size > static_cast<std::streamoff>(LastLineBytes) ? size - LastLineBytes : 0;
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t end = text.rfind('\n');
    return end == std::string::npos ? text : text.substr(end + 1);
}

// Why a run's file goes to failed/, in one line.
std::string failureReason(const Job& job) {
    const RunOutcome& run = job.last;
    char text[512];
    if (!run.reported && run.signal != 0) {
        snprintf(text, sizeof text, "the importer was ended by signal %d, without a run report", run.signal);
    } else if (!run.reported) {
        snprintf(text, sizeof text, "the importer ended with exit status %d without a run report: %s", run.status,
                 lastLineOf(job.files.err).c_str());
    } else if (commitUnknown(run)) {
        snprintf(text, sizeof text,
                 "the connection was lost during the COMMIT (error %ld): whether the run was committed is unknown; "
                 "look at the table before importing the file again", run.result);
    } else if (run.ending == "too many failed") {
        snprintf(text, sizeof text, "%ld records failed, more than max-failed-records = %ld: nothing was committed",
                 run.failed, job.rule.maxFailedRecords);
    } else if (isRetryable(run)) {
        snprintf(text, sizeof text, "the transaction was aborted with error %ld in %d runs: nothing was committed",
                 run.result, job.attempt);
    } else if (!run.committed) {
        snprintf(text, sizeof text, "the run ended with \"%s\", result %ld, exit %d: nothing was committed",
                 run.ending.c_str(), run.result, run.status);
    } else if (run.failed > 0) {
        snprintf(text, sizeof text, "%ld records failed and are not in the table; the rest was committed", run.failed);
    } else if (!run.failedStatement.empty()) {
        snprintf(text, sizeof text, "the run was committed although its %s statement failed (see stderr.txt)",
                 run.failedStatement.c_str());
    } else {
        snprintf(text, sizeof text, "the run was committed but ended with exit status %d (result %ld)", run.status,
                 run.result);
    }
    return text;
}

// Imported whole: exit 0, committed, no record failed and no opening or
// closing statement either (a failed IDN clearing still exits 0).
bool imported(const RunOutcome& run) {
    return run.status == 0 && run.reported && run.committed && run.failed == 0 && run.failedStatement.empty();
}

// The run's line on standard error: what became of the lines, then what
// becomes of the file (then).
void logRun(const Job& job, double seconds, const std::string& then) {
    const RunOutcome& run = job.last;
    diagnose("%s %s: %ld lines, %ld written, %ld failed, %ld wrong length, %s, exit %d, %.2f s; %s", job.name.c_str(),
             job.rule.typeCode.c_str(), run.lines, run.written, run.failed, run.wrongLength,
             run.committed ? "committed" : "not committed", run.status, seconds, then.c_str());
}

// Moves the job's files into a new run folder in base: the work file (or
// the file as delivered, when the importer never moved it) and whatever the
// staging folder holds; with a reason, the file "reason" too. Returns the
// folder, or an empty text when it could not be made.
std::string fileAway(const Job& job, const std::string& base, const std::string& reason) {
    std::string folder;
    if (!makeRunFolder(base, job.stamp, job.name, folder)) {
        diagnose("%s: cannot make a run folder in %s: %s; its files stay in %s", job.name.c_str(), base.c_str(),
                 strerror(errno), job.staging.c_str());
        return "";
    }
    const std::string work = buildWorkPath(job.name);
    for (const std::string& name : {work, job.name}) {
        const std::string path = pathIn(job.site.workdir, name);
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && !moveFile(path, pathIn(folder, name))) {
            diagnose("%s: cannot move %s into %s: %s", job.name.c_str(), path.c_str(), folder.c_str(), strerror(errno));
        }
    }
    if (!moveFolderContents(job.staging, folder)) {
        diagnose("%s: not every file of %s could be moved into %s", job.name.c_str(), job.staging.c_str(),
                 folder.c_str());
    }
    if (!reason.empty() && !writeTextFile(pathIn(folder, ReasonFileName), reason + "\n")) {
        diagnose("%s: cannot write %s/%s: %s", job.name.c_str(), folder.c_str(), ReasonFileName, strerror(errno));
    }
    return folder;
}

// The end of a job whose last run has ended (or that waited for a retry
// at a stop): its run folder, the line on standard error, the count.
void finishJob(Watcher& watcher, const Job& job, double seconds, const std::string& stopReason) {
    const bool ok = stopReason.empty() && imported(job.last);
    const std::string reason = ok ? "" : (stopReason.empty() ? failureReason(job) : stopReason);
    const std::string folder = fileAway(job, ok ? job.site.archive : job.site.failed, reason);
    if (folder.empty()) {
        logRun(job, seconds, "not filed away: " + (ok ? std::string("imported whole") : reason));
        watcher.failedFiles++;
        return;
    }
    logRun(job, seconds, ok ? "archived in " + folder : "to " + folder + ": " + reason);
    if (!ok) watcher.failedFiles++;
}

// A file that did not pass the checks: into failed/ as delivered.
void refuseFile(Watcher& watcher, const Job& job, const std::string& reason) {
    std::string folder;
    const std::string dropped = pathIn(job.site.drop, job.name);
    if (!makeRunFolder(job.site.failed, job.stamp, job.name, folder) ||
        !moveFile(dropped, pathIn(folder, job.name))) {
        diagnose("%s %s: not imported: %s; it cannot be moved to %s: %s", job.name.c_str(), job.rule.typeCode.c_str(),
                 reason.c_str(), job.site.failed.c_str(), strerror(errno));
        watcher.queue.files[job.name].held = true;
        watcher.failedFiles++;
        return;
    }
    writeTextFile(pathIn(folder, ReasonFileName), reason + "\n");
    moveFolderContents(job.staging, folder);
    forgetFile(watcher.queue, job.name);
    diagnose("%s %s: not imported: %s; moved to %s", job.name.c_str(), job.rule.typeCode.c_str(), reason.c_str(),
             folder.c_str());
    watcher.failedFiles++;
}

// Starts the job's next run; a run that cannot start ends the job.
void startRun(Watcher& watcher, Job& job, double now) {
    job.attempt++;
    job.retryAt = -1;
    job.started = now;
    job.files = {pathIn(job.staging, "stdout.cp1252"), pathIn(job.staging, "stderr.txt"),
                 pathIn(job.staging, "report.json")};
    std::string reason;
    if (startImport(job.site, job.rule, job.source, job.files, job.pid, reason)) return;
    job.pid = -1;
    job.last = RunOutcome();
    finishJob(watcher, job, 0, reason);
}

// The files of a run that is tried again keep its number.
void keepAttemptFiles(const Job& job) {
    const std::string prefix = "attempt-" + std::to_string(job.attempt) + ".";
    for (const std::string* path : {&job.files.out, &job.files.err, &job.files.report}) {
        const std::string name = path->substr(job.staging.size() + 1);
        rename(path->c_str(), pathIn(job.staging, prefix + name).c_str());
    }
}

// The folder for the run's files; false with the reason.
bool makeStaging(Job& job, std::string& reason) {
    const std::string parent = pathIn(job.site.workdir, StagingFolderName);
    job.staging = pathIn(parent, job.stamp + "_" + job.name);
    if ((mkdir(parent.c_str(), FolderMode) == 0 || errno == EEXIST) &&
        (mkdir(job.staging.c_str(), FolderMode) == 0 || errno == EEXIST)) {
        return true;
    }
    reason = "cannot make " + job.staging + ": " + strerror(errno);
    return false;
}

// Moves the file as delivered, or its conversion (then the original goes
// with the run's files), to target; a conversion that cannot follow puts
// the original back into the drop folder.
bool moveDelivered(const Job& job, const std::string& converted, const std::string& target) {
    const std::string dropped = pathIn(job.site.drop, job.name);
    if (!job.rule.utf8) return moveFile(dropped, target);
    const std::string original = pathIn(job.staging, job.name);
    if (!moveFile(dropped, original)) return false;
    if (moveFile(converted, target)) return true;
    const int error = errno;
    moveFile(original, dropped);
    errno = error;
    return false;
}

// Into the working directory under its own name. A file or work file that
// an earlier run left there (a watcher that was killed, a run by hand) is
// never replaced: the importer's move would put the new file over it.
bool moveIntoWorkdir(const Job& job, const std::string& converted, std::string& reason) {
    const std::string target = pathIn(job.site.workdir, job.name);
    const std::string work = pathIn(job.site.workdir, buildWorkPath(job.name));
    const std::string clash = "; move it away, then reload the watcher or deliver the file again";
    for (const std::string* path : {&work, &target}) {
        struct stat info;
        if (lstat(path->c_str(), &info) == 0) {
            reason = *path + " is there already" + clash;
            return false;
        }
    }
    if (moveDelivered(job, converted, target)) return true;
    reason = errno == EEXIST ? target + " is there already" + clash
                             : "cannot move it into " + job.site.workdir + ": " + strerror(errno);
    return false;
}

// Takes one complete file: checks it, moves it, starts its import.
void takeFile(Watcher& watcher, const std::string& name, const FileRule& rule, double now) {
    Job job;
    job.name = name;
    job.rule = rule;
    job.site = watcher.config;
    job.stamp = utcStamp(time(nullptr));
    job.source = name;
    std::string reason;
    if (!makeStaging(job, reason)) {
        diagnose("%s: %s; it stays in %s", name.c_str(), reason.c_str(), job.site.drop.c_str());
        watcher.queue.files[name].held = true;
        watcher.failedFiles++;
        return;
    }
    const std::string converted = pathIn(job.staging, "converted");
    if (!checkFile(pathIn(job.site.drop, name), rule, converted, reason)) {
        unlink(converted.c_str());
        refuseFile(watcher, job, reason);
        return;
    }
    if (!moveIntoWorkdir(job, converted, reason)) {
        diagnose("%s: %s; it stays in %s", name.c_str(), reason.c_str(), job.site.drop.c_str());
        unlink(converted.c_str());
        rmdir(job.staging.c_str());
        watcher.queue.files[name].held = true;
        watcher.failedFiles++;
        return;
    }
    forgetFile(watcher.queue, name);
    watcher.jobs.push_back(job);
    startRun(watcher, watcher.jobs.back(), now);
    if (watcher.jobs.back().pid < 0) watcher.jobs.pop_back();
}

// The seconds before a retry; the last delay stands for any later one.
int retryDelay(const Watcher& watcher, int retry) {
    if (watcher.retryDelays.empty()) return 0;
    const size_t index = std::min(static_cast<size_t>(retry - 1), watcher.retryDelays.size() - 1);
    return watcher.retryDelays[index];
}

// A run has ended: another try, or the end of the job. True when the job
// is over.
bool runEnded(Watcher& watcher, Job& job, double now) {
    const double seconds = now - job.started;
    job.pid = -1;
    if (isRetryable(job.last) && job.attempt <= job.site.retries) {
        const int delay = retryDelay(watcher, job.attempt);
        logRun(job, seconds, "retry " + std::to_string(job.attempt) + " of " + std::to_string(job.site.retries) +
                                 " in " + std::to_string(delay) + " s");
        keepAttemptFiles(job);
        job.source = buildWorkPath(job.name);
        job.retryAt = now + delay;
        return false;
    }
    finishJob(watcher, job, seconds, "");
    return true;
}

// Why a run folder that a watcher left behind goes to failed/, from what
// its last run's report says.
std::string leftoverReason(const Job& job) {
    RunOutcome run;
    const char* said = "its last run left no report, so whether it was committed is unknown";
    if (readReport(pathIn(job.staging, "report.json"), run)) {
        said = run.committed ? "its last run's report says it was committed"
                             : "its last run's report says it committed nothing";
    }
    return std::string("a watcher ended before it filed this file away (it was killed, or the machine stopped); ") +
           said + "; look at the table before importing the file again";
}

// Files away one run folder of the staging folder: the file it belongs to
// is named after the folder's time stamp (<stamp>_<name>). A folder whose
// file never reached the working directory holds nothing and just goes.
void fileAwayLeftover(Watcher& watcher, const std::string& parent, const std::string& folder) {
    const size_t cut = folder.find('_');
    if (cut == std::string::npos || cut + 1 == folder.size()) return;
    Job job;
    job.stamp = folder.substr(0, cut);
    job.name = folder.substr(cut + 1);
    job.site = watcher.config;
    job.staging = pathIn(parent, folder);
    struct stat info;
    const bool inWorkdir = lstat(pathIn(job.site.workdir, buildWorkPath(job.name)).c_str(), &info) == 0 ||
                           lstat(pathIn(job.site.workdir, job.name).c_str(), &info) == 0;
    if (!inWorkdir && rmdir(job.staging.c_str()) == 0) return;
    const std::string reason = leftoverReason(job);
    const std::string filed = fileAway(job, job.site.failed, reason);
    diagnose("%s: %s; %s", job.name.c_str(), reason.c_str(),
             filed.empty() ? "it stays where it is" : ("moved to " + filed).c_str());
    watcher.failedFiles++;
}

}  // namespace

void fileAwayLeftovers(Watcher& watcher) {
    // The lock keeps a second watcher that shares the working directory
    // from taking the run folders of files the first has in work.
    const std::string parent = pathIn(watcher.config.workdir, StagingFolderName);
    std::string holder;
    if ((mkdir(parent.c_str(), FolderMode) != 0 && errno != EEXIST) || lockFolder(parent, holder) < 0) {
        diagnose("the run folders in %s are left to %s", parent.c_str(),
                 holder.empty() ? strerror(errno) : holder.c_str());
        return;
    }
    DIR* dir = opendir(parent.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> folders;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name != "." && name != ".." && lstat(pathIn(parent, name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            folders.push_back(name);
        }
    }
    closedir(dir);
    std::sort(folders.begin(), folders.end());
    for (const std::string& folder : folders) fileAwayLeftover(watcher, parent, folder);
}

void startCompleteFiles(Watcher& watcher, double now) {
    if (watcher.stopping) return;
    std::set<std::string> waiting;   // type codes whose older file waits
    for (const std::string& name : completeFiles(watcher.queue, now, watcher.config.settleSeconds, watcher.once)) {
        const FileRule* rule = ruleFor(watcher.config, name.c_str());
        if (rule == nullptr) {
            diagnose("%s matches no [file ...] section of %s: it stays in %s", name.c_str(), watcher.config.path.c_str(),
                     watcher.config.drop.c_str());
            watcher.queue.files[name].held = true;
            continue;
        }
        if (waiting.count(rule->typeCode) != 0 || busyFor(watcher, *rule, name)) {
            waiting.insert(rule->typeCode);
            continue;
        }
        // A file that waits for its retry keeps its place.
        if (static_cast<int>(watcher.jobs.size()) >= watcher.parallel) return;
        takeFile(watcher, name, *rule, now);
    }
}

void collectEndedImports(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        if (job.pid > 0 && importEnded(job.pid, job.files, job.last) && runEnded(watcher, job, now)) {
            watcher.jobs.erase(watcher.jobs.begin() + static_cast<long>(i));
            continue;
        }
        ++i;
    }
}

void startDueRetries(Watcher& watcher, double now) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        if (job.pid < 0 && job.retryAt >= 0 && job.retryAt <= now) {
            startRun(watcher, job, now);
            if (job.pid < 0) {
                watcher.jobs.erase(watcher.jobs.begin() + static_cast<long>(i));
                continue;
            }
        }
        ++i;
    }
}

void giveUpRetries(Watcher& watcher) {
    for (size_t i = 0; i < watcher.jobs.size();) {
        Job& job = watcher.jobs[i];
        if (job.pid > 0) {
            ++i;
            continue;
        }
        finishJob(watcher, job, 0,
                  "the watcher was stopped before retry " + std::to_string(job.attempt) +
                      "; nothing was committed, and the work file " + buildWorkPath(job.name) +
                      " here holds the data: move it into the drop folder as " + job.name + " to import it again");
        watcher.jobs.erase(watcher.jobs.begin() + static_cast<long>(i));
    }
}

double nextRetry(const Watcher& watcher) {
    double next = -1;
    for (const Job& job : watcher.jobs) {
        if (job.pid < 0 && job.retryAt >= 0 && (next < 0 || job.retryAt < next)) next = job.retryAt;
    }
    return next;
}
