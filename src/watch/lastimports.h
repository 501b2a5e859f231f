// The watcher's own note of the last import of each type code, kept in the
// staging area: the archive's run folders go with retention, this note
// does not. It holds, per type code, the last whole import's time of
// taking (for the metrics) and the last committed run: its sequence
// number, its file's name and the modification time the file was delivered
// with. The watcher asks it whether a file is older than what its table
// already holds; requeue asks it whether a later file was imported since.
#pragma once
#include <map>
#include <string>

#include "watch/runrecord.h"

constexpr const char* LastImportsName = ".last-imports";

struct LastImport {
    std::string wholeStamp;      // the last whole import's time of taking (UTC); empty: none noted
    long long sequence = -1;     // the last committed run's sequence number; -1: none noted
    long long modified = -1;     // its file's modification time as delivered (nanoseconds)
    std::string name;            // its file's name as delivered
};

// Reads the note of the staging area (by type code). A note written before
// the committed runs were noted has the whole stamp alone.
void readLastImportNotes(int staging, std::map<std::string, LastImport>& notes);

// Notes a committed run (whole, when archived) of the record's type code,
// where it is later than the one noted.
bool noteLastImport(int staging, const RunRecord& record);
