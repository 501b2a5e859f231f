// The importer as a child process: started in the working directory with
// the run's environment, its standard output and error into files of the
// run folder, its run report (KELVORA_REPORT) read when it has ended. It
// gets a process group of its own, so that a Ctrl-C at a terminal or a stop
// of the service reaches the watcher alone, which lets the import finish.
// What an ended import means is outcome.h's.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

#include "watch/config.h"

// The files a run writes.
struct RunFiles {
    std::string out;      // standard output, as the importer writes it (Windows-1252)
    std::string err;      // standard error
    std::string report;   // the JSON run report
};

// What the deletion guard counted of one table, from the run report.
struct GuardedCounts {
    std::string table;
    long long before = -1;    // -1: not counted
    long long after = -1;
    long long deleted = -1;
    bool tooMany = false;
};

// What the run report says, as far as the watcher needs it.
struct RunOutcome {
    bool reported = false;     // a report was there and could be read
    long lines = 0;
    long written = 0;
    long failed = 0;
    long wrongLength = 0;
    long firstFailedLine = 0;      // the first record the server refused: its line,
    long firstError = 0;           // the server's error number (0: none refused)
    std::string firstErrorText;    // and its text
    bool committed = false;
    std::string ending;
    std::string failedStatement;   // "opening" or "closing" when such a statement failed, else empty
    long result = 0;
    int reportedStatus = -1;   // the exit status the report gives
    int status = -1;           // the exit status, or -1 when a signal ended the run (or it was not seen)
    long connectError = 0;     // the run could not connect: the client's error number (its stdout says so)
    std::string connectText;   // and its line on standard error
    int signal = 0;
    bool timedOut = false;     // it ran longer than import-timeout and was ended
    std::vector<GuardedCounts> guarded;   // with the deletion guard set: each table the type code writes
    long maxDeletes = -1;                 // and its limits (-1: not set)
    long maxDeleteShare = -1;
};

// The run's journal values (all empty without a journal).
struct JournalValues {
    std::string journal;
    std::string runId;
    std::string sha256;
};

// What one import is started with.
struct ImportRequest {
    const WatchConfig& site;
    const FileRule& rule;
    const std::string& source;   // the importer's first argument
    const RunFiles& files;
    JournalValues journal;
    bool deletesAccepted;        // requeue --accept-deletes: no deletion guard for this run
    int runLock;                 // the run's lock, which the importer inherits
};

// Whether a run's deletion guard is as its section says, or off (its
// deletions were accepted).
enum class DeleteGuard { AsSectionSays, Off };

// The watcher's environment without the variables of the contract, and
// KELVORA_MAX_FAILED and the deletion guard's limits as the section sets
// them (those that are not off): what an import of the section runs with,
// but for its report and journal.
std::vector<std::string> sectionEnvironment(const FileRule& rule, DeleteGuard guard);

// Starts "program source TYPE [UPD] [/D]" in workdir with KELVORA_REPORT,
// KELVORA_MAX_FAILED and the deletion guard's limits set for it (those of
// the section that are not off, unless the file's deletions were
// accepted); the importer inherits the run's lock and nothing else. False,
// with the reason, when it could not be started (then it ran nothing).
bool startImport(const ImportRequest& request, pid_t& pid, std::string& reason);

// Reaps the run without waiting for it: true once it has ended, with its
// exit status and its report in outcome.
bool importEnded(pid_t pid, const RunFiles& files, RunOutcome& outcome);

// Reads a run report into outcome; false when there is none or it is not
// a report.
bool readReport(const std::string& path, RunOutcome& outcome);
