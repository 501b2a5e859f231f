// kelvora-watch status: what the watcher is doing and what waits, read
// from the configuration, the folders and the lock; it changes nothing.
#pragma once
#include "watch/config.h"

//   kelvora-watch [--config FILE] status [--json]

// Whether the command line names the command: "status" as its first
// argument, or right after --config FILE.
bool isStatusCommand(int argc, char** argv);

// Prints the status (as JSON with --json); the exit status is 1 when
// something needs a person (a file no section matches, a failed run in the
// last 24 hours, a file that waited longer than marker-wait for its
// marker), 2 for a faulty command line or configuration, else 0.
int runStatus(int argc, char** argv);
