// kelvora-watch requeue: puts the file of a run in the failed folder back
// into the drop folder, as it was delivered and under its delivered name,
// so that the watcher takes and imports it again once the fault is put
// right. The run folder stays where it is, as the record of what happened,
// and gets the file "requeued" that says when and where it was put back.
//   kelvora-watch [--config FILE] requeue [--force] RUNFOLDER...
#pragma once

// Whether the command line names the command: "requeue" as its first
// argument, or right after --config FILE.
bool isRequeueCommand(int argc, char** argv);

// Runs the command: 0 when every run folder was put back, 1 when one was
// refused or failed, 2 for a faulty command line or configuration.
int runRequeue(int argc, char** argv);
