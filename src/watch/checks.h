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
#include "watch/watcher.h"

// Checks the file at path against its rule (a Windows-1252 section). False,
// with the reason in one line of plain English, when it may not be
// imported.
bool checkFile(const std::string& path, const FileRule& rule, std::string& reason);

// The same for a section with encoding = utf-8: the file is checked as
// UTF-8, converted into converted, and its lines are judged there.
bool checkAndConvert(const std::string& path, const FileRule& rule, const std::string& converted,
                     std::string& reason);

// The check step: checks the taken file (converting it when its section
// says so) and starts its import. True when the job is over (filed).
bool checkAndStart(Watcher& watcher, Job& job, double now);
