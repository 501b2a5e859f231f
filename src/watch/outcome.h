// What an ended import means for its file: imported whole (to archive/),
// or why it goes to failed/, in one line that says whether anything was
// committed.
#pragma once
#include <string>

#include "watch/importer.h"
#include "watch/runrecord.h"

// Imported whole: exit 0, committed, no record failed and no opening or
// closing statement either (a failed IDN clearing still exits 0).
// More wrong-length lines than the section allows are never whole either.
bool importedWhole(const RunOutcome& run, const FileRule& rule);

// The deletion guard held the run: it would have deleted too many rows, or
// a table it writes has no transactions. Nothing was committed; a person
// decides, and requeue --accept-deletes lets the file through once.
bool heldByGuard(const RunOutcome& run);

// Where the run will be filed in failed/, and the configuration it was
// read from, for the command a reason names.
struct FailedPlace {
    std::string runFolder;
    std::string config;
};

// Why the run's file goes to failed/; errorFile is the importer's standard
// error, whose last line says most when there is no report.
std::string failureReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile,
                          const FailedPlace& place);
