// Running the importer on a checked file: the duplicate refusal of the
// journal, the import started as a child (importer.h), its end read and
// what follows from it: another try after a transaction abort, a wait
// while the database is away, or the end of the job, filed.
#pragma once
#include "watch/watcher.h"

// Starts the job's next import; one that cannot start ends the job, with
// nothing committed. True when the job is over.
bool startRun(Watcher& watcher, Job& job, double now);

// An import has ended (its outcome in job.last): another try, a wait for
// the database, or the end. True when the job is over.
bool importDone(Watcher& watcher, Job& job, double now);

// A run whose outcome its report cannot tell (no report, a connection lost
// during the COMMIT): the journal says, where there is one (job.last then
// holds its answer).
void askJournalWhatHappened(Job& job);
