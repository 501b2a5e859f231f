// Running the importer on a checked file: the duplicate refusal of the
// journal, the import started as a child (importer.h), its end read and
// what follows from it: another try after a transaction abort, a wait
// while the database or the journal is away, or the end of the job, filed.
// No step here waits: the importer and the journal's questions run as
// children whose ends the loop collects, and an import that runs longer
// than import-timeout is ended by the loop.
#pragma once
#include "watch/watcher.h"

// Starts the job's next import, after asking the journal where duplicates
// are refused; with --parallel imports running already, the job waits its
// turn (StartWait). A step only noted (noteStep) is written with Started,
// or before the job waits. True when the job is over.
bool startRun(Watcher& watcher, Job& job, double now);

// An import has ended (its outcome in job.last): another try, a wait for
// the database or the journal, or the end. True when the job is over.
bool importDone(Watcher& watcher, Job& job, double now);

// An ended import whose outcome may need the journal: a run its report
// cannot tell (no report, a connection lost during the COMMIT) is asked
// after, where the run wrote to a journal. True when the job is over.
bool settleImport(Watcher& watcher, Job& job, double now);

// The journal's answer to the job's question is in (job.ask is over).
// True when the job is over.
bool afterJournalAnswer(Watcher& watcher, Job& job, double now);

// A job whose journal could not be asked asks again (its back-off is
// over). True when the job is over.
bool askAgain(Watcher& watcher, Job& job, double now);

// Ends the imports that have run longer than import-timeout: SIGTERM, then
// SIGKILL after a grace; their ends are collected as any other.
void endOverdueImports(Watcher& watcher, double now);

// When endOverdueImports has next to act (monotonic), or -1.
double nextImportDeadline(const Watcher& watcher);
