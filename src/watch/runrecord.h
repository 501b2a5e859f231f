// The record of one run, kept as the file "state" in its run folder and
// written anew (durably) before each step of the file's life, so that a
// watcher that starts after a crash knows the file, its section and the
// step it stopped at, and finishes or files the run from there.
#pragma once
#include <string>
#include <sys/types.h>

#include "watch/config.h"

constexpr const char* RunRecordName = "state";

// The steps, in order. Taking: the run folder is made and the file is
// about to leave the drop folder. Taken: it is in the run folder. Checked:
// it passed the checks (and was converted). Started: an import (attempt)
// was started. Filing: the verdict is known and the run folder is being
// moved into archive/ or failed/.
enum class Step { Taking, Taken, Checked, Started, Filing };

struct RunRecord {
    std::string id;              // unique to the run: tells its filed copy from another's
    std::string drop;            // the drop folder it came from: another watcher's runs stay its own
    std::string name;            // as delivered, every byte
    std::string stamp;           // the UTC time it was taken
    long long sequence = -1;     // its number in the run sequence (sequence.h); -1 in a record of an older watcher
    long long deliveredModified = -1;   // the modification time the file was delivered with (nanoseconds)
    FileRule rule;               // the section it was taken under
    Step step = Step::Taking;
    int attempt = 0;             // imports started
    std::string journal;         // Checked: the journal its imports write to (SCHEMA.TABLE); empty: none
    std::string sha256;          // Checked, with a journal: of the file the importer reads
    long long checkedSize = -1;  // Checked: the file as it passed its checks
    long long checkedModified = -1;   // its modification time in nanoseconds
    dev_t dropDevice = 0;        // the drop entry's file, while it is taken
    ino_t dropInode = 0;
    std::string marker;          // the marker's name as delivered; empty without one
    dev_t markerDevice = 0;      // the marker's file, removed from the drop folder once the file is taken
    ino_t markerInode = 0;
    bool deletesAccepted = false;   // requeue --accept-deletes let this file through the deletion guard once
    std::string deliveredSha256;   // of the file as delivered, taken at the checks for its receipt; empty: not taken
    long long deliveredSize = -1;
    bool archived = false;       // Filing: the verdict
    bool held = false;           // Filing into failed/: the deletion guard held the run
    bool failedChecks = false;   // Filing into failed/: the file failed the watcher's checks (the bytes are at fault)
    bool refused = false;        // Filing into failed/: the watcher refused the file for what it is (its receipt says so)
    std::string outcome;         // Filing: "committed", "nothing committed" or "unknown whether committed"
    std::string reason;          // Filing into failed/: why
    std::string senderReason;    // and why in words for the sender's receipt: nothing another program wrote
};

// Writes the record into the run folder; false (with errno) when it could
// not be written whole.
bool writeRunRecord(int runFolder, const RunRecord& record);

// Reads the record of a run folder; false when there is none or it cannot
// be read.
bool readRunRecord(int runFolder, RunRecord& record);

const char* stepName(Step step);

// A new run id: 16 hexadecimal digits from the kernel's random source.
std::string newRunId();
