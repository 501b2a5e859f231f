// The watcher's own note of the last whole import of each type code (the
// time stamp its file was taken at), kept in the staging area: the
// archive's run folders go with retention, this note does not. requeue
// asks it whether a later file was imported since.
#pragma once
#include <map>
#include <string>

constexpr const char* LastImportsName = ".last-imports";

// Reads the note of the staging area into stamps (by type code).
void readLastImportNotes(int staging, std::map<std::string, std::string>& stamps);

// Notes a whole import of typeCode taken at stamp (when it is the latest).
bool noteLastImport(int staging, const std::string& typeCode, const std::string& stamp);
