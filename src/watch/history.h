// The runs filed in archive/ and failed/, read back from their run
// folders (their record and report), for the metrics and the status view.
#pragma once
#include <ctime>
#include <map>
#include <string>
#include <vector>

struct FiledRun {
    std::string folder;     // its path
    std::string name;       // the file's name as the log shows it
    std::string typeCode;
    time_t taken = 0;
    bool archived = false;
    bool held = false;      // the deletion guard held it
    std::string outcome;
    std::string reason;
    long lines = -1;        // from its report; -1 without one
    long written = -1;
    long failed = -1;
};

// The run folders of base (archive/ or failed/) that the watcher filed.
std::vector<FiledRun> filedRuns(const std::string& base);

// The watcher's own note of the last whole import of each type code (its
// time stamp), kept in the staging area: the archive's run folders go with
// retention, this note does not. Read into stamps (by type code).
constexpr const char* LastImportsName = ".last-imports";
void readLastImportNotes(int staging, std::map<std::string, std::string>& stamps);

// Notes a whole import of typeCode taken at stamp (when it is the latest).
bool noteLastImport(int staging, const std::string& typeCode, const std::string& stamp);

// The UTC time of a run's stamp (20250131T235959Z); -1 when it is none.
time_t stampTime(const std::string& stamp);
