// The checks a delivered file must pass before the importer sees it. They
// need no database, and a file that fails one is never imported: a transfer
// that was cut off, an empty file (which would empty or sweep its table),
// too many lines of the wrong length, the wrong encoding. A UTF-8 file whose
// section says so is converted to Windows-1252 here, and its lines are
// judged after the conversion.
//
// The check step of a taken file runs them in its run folder, checks the
// file against its marker, notes what the import will be compared with
// (the file's size and time, its SHA-256 for the journal), and starts the
// import.
#pragma once
#include <string>

#include "watch/config.h"
#include "watch/digest.h"
#include "watch/watcher.h"

// Checks the file at path against its rule (a Windows-1252 section). False,
// with the reason in one line of plain English, when it may not be
// imported.
bool checkFile(const std::string& path, const FileRule& rule, std::string& reason);

// The same for a section with encoding = utf-8: the file is checked as
// UTF-8, converted into converted, and its lines are judged there.
bool checkAndConvert(const std::string& path, const FileRule& rule, const std::string& converted,
                     std::string& reason);

// What the checks beside the loop found.
// Why a file did not pass: its bytes (cut off, empty, the wrong encoding or
// length), which would fail the same way again, or the reading of them.
enum class CheckFault { Reading, Bytes };

struct CheckOutcome {
    bool stopped = false;          // the watcher stops: the run is left as it was taken
    bool passed = false;
    std::string reason;            // when it did not pass
    CheckFault fault = CheckFault::Reading;
    DigestRead delivered;       // of the file as delivered, when its marker, an acceptance or a receipt asks
    DigestRead source;          // of the file the importer reads, with a journal
    long long checkedSize = -1;    // the file the importer reads, as it passed its checks
    long long checkedModified = -1;
};

// The check step: the checks of the taken file (and the conversion of a
// UTF-8 delivery, and the SHA-256 its marker or journal needs) start beside
// the loop; the job waits in Phase::Checking. False: the job goes on.
bool checkAndStart(Watcher& watcher, Job& job, double now);

// The checks have ended (job.work is done): the marker, the verdict, the
// journal's SHA-256, the step noted (written with the start, or before the
// job waits for it), and the import started. True when
// the job is over (filed, or left for the next start).
bool afterChecks(Watcher& watcher, Job& job, double now);
