// Filing a run: its folder is completed in the staging area (the reason,
// the output as UTF-8) and then moved into archive/ or failed/ with one
// rename, so that a run folder there is complete or absent. Across file
// systems it is copied under a hidden name, flushed, and renamed into
// place before the staging copy goes.
#pragma once
#include <ctime>
#include <string>

#include "watch/runrecord.h"

constexpr const char* ReasonFileName = "reason";

// The UTC time as the run folders name it: 20250131T235959Z.
std::string utcStamp(time_t time);

// Writes the reason (when not empty) and turns each output file
// "*.cp1252" (Windows-1252, as the importer writes it) into "*.txt" in
// UTF-8. False, with errno, when a step failed.
bool completeRunFolder(int runFolder, const std::string& reason);

// Moves folderName of the staging area into base, as folderName or with
// "-2", "-3", ... after it; filedName is the name it got. Across file
// systems the copy is named after the run's id on its way. False, with
// errno, when it is not there complete (it then stays whole in staging).
bool moveRunFolder(int staging, const std::string& folderName, const std::string& runId, int base,
                   std::string& filedName);

// Whether this run (by its id) is in base already, complete: an earlier
// watcher was stopped between the copy across file systems and the
// removal of the staging folder.
bool findFiledCopy(int base, const std::string& folderName, const RunRecord& record, std::string& filedName);

// Removes the staging folder of a run whose copy is filed: first out of
// the run folders' sight with one rename, then with all it holds.
bool removeStagingCopy(int staging, const std::string& folderName, const std::string& runId);

// Removes the staging folders of runs that are filed already (a watcher
// stopped while it removed one).
void removeFiledLeftovers(int staging);
