// kelvora-watch check: what an import of a file would do on this site,
// before the file is delivered. The file gets the watcher's own checks
// under the section its name matches, then kelvora-check (beside the
// configured importer) runs it in the importer's working directory with
// that section's settings: UPD, max-failed-records and the deletion guard.
// Nothing is committed and the file is not moved.
//   kelvora-watch [--config FILE] check FILE
#pragma once

// Whether the command line names the command: "check" as its first
// argument, or right after --config FILE.
bool isSiteCheckCommand(int argc, char** argv);

// Runs the command: kelvora-check's exit status; 1 when the watcher's
// checks would refuse the file (kelvora-check is not run), 2 for a faulty
// command line or configuration, a file no section matches, or a
// kelvora-check that cannot be run.
int runSiteCheck(int argc, char** argv);
