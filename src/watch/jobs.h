// The order of the runs. A delivered file is taken out of the drop folder
// into a run folder of its own in the staging area (take.h), checked there
// (checks.h), imported there (runimport.h) and moved whole into archive/ or
// failed/ (filing.h); each step is recorded in the run folder first
// (runrecord.h), and the run folder stays locked while the watcher or its
// importer lives, so that a watcher that starts after a crash finishes or
// files each run from the step it stopped at (leftovers.h), and never one
// whose importer still runs.
//
// One import runs at a time per type code (each type code writes tables of
// its own), so two files for the same table go in the order they arrived;
// up to `parallel` files are in work at once, for different type codes.
#pragma once

#include "watch/watcher.h"

// Opens (and makes) the staging area; false with the reason on standard
// error.
bool openStaging(Watcher& watcher);

// Takes what is complete in the drop folder, oldest first, within the
// limits above.
void startCompleteFiles(Watcher& watcher, double now);

// Collects the imports that have ended.
void collectEndedImports(Watcher& watcher, double now);

// Goes on with the jobs whose work beside the loop (a copy, the checks)
// has ended.
void collectBackgroundWork(Watcher& watcher, double now);

// At a stop: asks every work beside the loop to stop at its next piece.
void stopBackgroundWork(Watcher& watcher);

// Goes on with the jobs whose question to the journal has been answered
// (or has run out of time).
void collectJournalAnswers(Watcher& watcher, double now);

// At a stop: the questions under way are ended; their jobs are left for
// the next start, which asks again.
void endJournalQuestions(Watcher& watcher);

// The deadline of the first question under way (monotonic), or -1.
double nextAnswerDeadline(const Watcher& watcher);

// Whether work beside the loop still runs (a stop waits for it).
bool backgroundWorkRuns(const Watcher& watcher);

// Whatever is due: retries, another try to file a run, a look at a lock.
void startDueWork(Watcher& watcher, double now);

// At a stop, once no import runs: what waits stays in the staging area for
// the next start, and is named.
void leaveWaitingRuns(Watcher& watcher);

// The earliest monotonic time something is due; -1 when nothing waits.
double nextDue(const Watcher& watcher);

// With --once: nothing runs, and nothing waits that this run will do (a run
// that cannot be filed is left for the next run; one held by an importer
// that outlived its watcher is waited for).
bool onceIsDone(const Watcher& watcher);
