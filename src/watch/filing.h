// Filing a run, the last step of a file's life: the verdict is counted and
// recorded, the run folder completed in the staging area (the reason, the
// output as UTF-8) and then moved into archive/ or failed/ with one
// rename, so that a run folder there is complete or absent. Across file
// systems it is copied under a hidden name, flushed, and renamed into
// place before the staging copy goes. A run that cannot be filed (a full
// disk) stays whole in the staging area and is tried again later.
#pragma once
#include <string>

#include "watch/outcome.h"
#include "watch/watcher.h"

// The end of a job that imported its file whole: into archive/. True when
// the job is over (filed).
bool fileAsImported(Watcher& watcher, Job& job, double now);

// The end of a job whose file goes to failed/, with what was committed and
// why. The reason is the watcher's own words, which the sender's receipt
// gives too. True when the job is over (filed).
bool fileAsFailed(Watcher& watcher, Job& job, Committed committed, const std::string& reason, double now);

// Why a run goes to failed/: in full for the run folder, and for the
// sender's receipt without what another program wrote.
struct FailedReason {
    std::string full;
    std::string forSender;
};

// fileAsFailed with a reason that quotes another program's output.
bool fileAsFailedQuoting(Watcher& watcher, Job& job, Committed committed, const FailedReason& reason, double now);

// The end of a job whose file the watcher refuses for what it is (it
// failed its checks or its marker, it was imported before, it is older
// than the last import, it changed after its checks): into failed/,
// nothing committed, the receipt saying "refused".
bool fileAsRefused(Watcher& watcher, Job& job, const std::string& reason, double now);

// Files the run as its record says; false while it cannot (it then waits
// in FilingWait, whole in the staging area).
bool fileRun(Watcher& watcher, Job& job, double now);

// Removes the staging folders of runs that are filed already (a watcher
// stopped while it removed one).
void removeFiledLeftovers(int staging);
