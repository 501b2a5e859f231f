#include "watch/runfolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/crashpoint.h"
#include "watch/folder.h"
#include "watch/names.h"

std::string pathIn(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

void setRunPaths(const Watcher& watcher, Job& job) {
    job.folder = pathIn(watcher.staging, job.folderName);
    job.files = {pathIn(job.folder, OutputName), pathIn(job.folder, ErrorName), pathIn(job.folder, ReportName)};
    job.source = pathIn(pathIn(job.folder, FileFolder), importName(job.record.name));
}

std::string deliveredCopy(const Job& job) {
    const char* folder = job.record.rule.utf8 ? DeliveredFolder : FileFolder;
    return pathIn(pathIn(job.folder, folder), importName(job.record.name));
}

// The disk may be full: the step is then not taken.
bool recordStep(Job& job, Step step) {
    job.record.step = step;
    if (writeRunRecord(job.runFd.get(), job.record)) {
        job.recordBehind = false;
        crashPoint(stepName(step));
        return true;
    }
    diagnoseAt(Severity::Error, "%s: cannot write the run record in %s: %s", shownName(job.record.name).c_str(),
               job.folder.c_str(), strerror(errno));
    return false;
}

// Each record written costs two flushes (the file and its folder); a step
// whose loss a crash cannot tell from the step before needs none.
void noteStep(Job& job, Step step) {
    job.record.step = step;
    job.recordBehind = true;
    crashPoint(stepName(step));
}

// A job that is about to wait, with a step noted only, records it, so that
// the run folder tells what the job waits with (and what it used up, an
// acceptance of its deletions).
bool catchUpRecord(Job& job) {
    return !job.recordBehind || recordStep(job, job.record.step);
}

void closeRun(Job& job) {
    job.runFd.reset();
}

std::vector<RunFolderEntry> listRunFolders(int base, const std::string& from) {
    std::vector<std::string> names;
    std::vector<RunFolderEntry> runs;
    if (!listFolder(base, names)) return runs;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name[0] == '.' || name < from) continue;
        RunFolderEntry run;
        run.name = name;
        UniqueFd folder(openFolder(base, name));
        run.recorded = folder.valid() && readRunRecord(folder.get(), run.record);
        runs.push_back(run);
    }
    return runs;
}
