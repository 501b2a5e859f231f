// kelvora-watch ack: marks runs of the failed folder as seen by a person,
// so that status and the metrics no longer count them as needing one. The
// run folder stays as it is and gets the file "acknowledged" with the UTC
// time and the user who said so.
//   kelvora-watch [--config FILE] ack RUNFOLDER...
#pragma once

// Whether the command line names the command: "ack" as its first argument,
// or right after --config FILE.
bool isAckCommand(int argc, char** argv);

// Runs the command: 0 when every run folder was marked, 1 when one was
// refused or could not be marked, 2 for a faulty command line or
// configuration.
int runAck(int argc, char** argv);
