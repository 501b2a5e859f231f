// A run folder's own names and paths. Each file in work has a run folder:
// first in the staging area, at the end in archive/ or failed/. The file
// the importer reads is in file/ (a UTF-8 delivery as delivered in
// delivered/, its conversion in file/), the marker in marker/; the run's own
// files (its record, the importer's output and report, the reason) stand
// beside the subfolders, so that no delivered name can overwrite one.
#pragma once
#include <string>
#include <vector>

#include "watch/runrecord.h"
#include "watch/watcher.h"

constexpr const char* FileFolder = "file";
constexpr const char* DeliveredFolder = "delivered";
constexpr const char* MarkerFolder = "marker";   // the file's marker, as delivered
// The importer's output as it writes it (Windows-1252; UTF-8 once filed,
// as *.txt) and its report.
constexpr const char* OutputName = "stdout.cp1252";
constexpr const char* ErrorName = "stderr.cp1252";
constexpr const char* ReportName = "report.json";
// In failed/: why, in one line.
constexpr const char* ReasonFileName = "reason";
// In failed/: each time requeue put the file back into the drop folder.
constexpr const char* RequeuedName = "requeued";
constexpr const char* AcknowledgedName = "acknowledged";   // ack: a person has seen the failed run

std::string pathIn(const std::string& folder, const std::string& name);

// The run folder's paths, from its name and the file's name.
void setRunPaths(const Watcher& watcher, Job& job);

// The file as delivered, in the run folder.
std::string deliveredCopy(const Job& job);

// Records the step before it is taken; false when the record cannot be
// written (the step is then not taken).
bool recordStep(Job& job, Step step);

// Notes the step in the job's record without writing it, for a step that a
// watcher starting after a crash would take again from the step recorded
// before it (Taken and Checked, when the import is started next: from
// Taking the file is found in the run folder and checked again). The next
// recordStep writes the record with all it gathered meanwhile.
void noteStep(Job& job, Step step);

// Writes the record when it is behind the job (noteStep); false when it
// cannot be written.
bool catchUpRecord(Job& job);

// Releases the run's lock (its run folder's descriptor).
void closeRun(Job& job);

// A run folder as a walk over a folder of them finds it.
struct RunFolderEntry {
    std::string name;
    bool recorded = false;   // its record could be read
    RunRecord record;
};

// The run folders of base (the staging area, archive/ or failed/): every
// entry whose name does not start with "." (the watcher's own files), in
// name order, which is the order they were taken, with its record. Names
// that sort before from are passed over without being read.
std::vector<RunFolderEntry> listRunFolders(int base, const std::string& from = "");
