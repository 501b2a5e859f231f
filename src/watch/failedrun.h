// A run folder of the failed folder named on a command line (requeue, ack):
// the site's folders opened once, the run folder opened only when it lies
// in the failed folder, and its record read, each refusal named on
// standard error with what was not done and why.
#pragma once
#include <string>

#include "common/fd.h"
#include "watch/config.h"
#include "watch/runrecord.h"

// The site's folders, opened once for all the run folders named.
struct FailedSite {
    WatchConfig config;
    UniqueFd drop;
    UniqueFd archive;
    UniqueFd failed;
};

// Reads the configuration and opens the three folders the commands work
// in; each one that cannot be opened is named.
bool openFailedSite(const char* path, FailedSite& site);

// One refusal on standard error: "GIVEN: NOTDONE: WHY". Always false, for
// the callers to return.
bool refuseRun(const std::string& given, const char* notDone, const std::string& why);

// Opens the run folder named on the command line when it is one of the
// failed folder (-1 otherwise, with the refusal named): a run folder of
// the archive was imported, and one anywhere else is no filed run.
UniqueFd openRunFolder(const FailedSite& site, const char* given, const char* notDone);

// The run's record, which must say that the run was filed into failed/.
bool readFailedRecord(int runFolder, const std::string& given, const char* notDone, RunRecord& record);
