// The steps of a run after its file was taken, shared by the taking of a
// new file (jobs.cpp) and the take-over of a run an earlier watcher left
// (leftovers.cpp). Each returns true when the job is over: its run folder
// is filed and its lock released.
#pragma once
#include <string>

#include "watch/watcher.h"

// The run folder's subfolders: the importer's source and its work file,
// and a UTF-8 file as it was delivered.
constexpr const char* FileFolder = "file";
constexpr const char* DeliveredFolder = "delivered";
constexpr const char* MarkerFolder = "marker";   // the file's marker, as delivered

// Once the file is taken, its marker leaves the drop folder (while its name
// still holds the marker that was copied).
void removeMarkerFromDrop(Watcher& watcher, const Job& job);

std::string pathIn(const std::string& folder, const std::string& name);

// Records the step before it is taken; false when the record cannot be
// written (the step is then not taken).
bool recordStep(Job& job, Step step);

// The run folder's paths, from its name and the file's name.
void setRunPaths(const Watcher& watcher, Job& job);

// Releases the run's lock.
void closeRun(Job& job);

// Checks the taken file (converting it when its section says so), then
// starts its import.
bool checkAndStart(Watcher& watcher, Job& job, double now);

// Starts the job's next import.
bool startRun(Watcher& watcher, Job& job, double now);

// An import has ended (its outcome in job.last): another try, or the end.
bool importDone(Watcher& watcher, Job& job, double now);

// A run whose outcome its report cannot tell: the journal says, where
// there is one (job.last then holds its answer).
void askJournalWhatHappened(Job& job);

// The end of a job with its verdict: counted, recorded, filed.
bool finishRun(Watcher& watcher, Job& job, bool archived, Committed committed, const std::string& reason,
               double now);

// Files the run as its record says; false while it cannot (it then waits
// in FilingWait, whole in the staging area).
bool fileRun(Watcher& watcher, Job& job, double now);

// A run folder held by another process: when its lock is free, the run is
// taken over (or forgotten, when its holder filed it).
bool lookAtLockedRun(Watcher& watcher, Job& job, double now);

// A run an earlier watcher left, whose lock this watcher holds: goes on
// from its recorded step.
bool resumeRun(Watcher& watcher, Job& job, double now);
