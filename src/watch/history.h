// The runs filed in archive/ and failed/, read back from their run
// folders (their record and report), for the metrics and the status view.
#pragma once
#include <ctime>
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
    long long sequence = -1;   // its number in the run sequence; -1 in a run of an older watcher
    bool requeued = false;     // requeue put its file back into the drop folder
    bool acknowledged = false; // ack: a person has seen it
};

// A failed run needs a person for a day after it was taken, unless a
// person marked it as seen (ack) or put it back (requeue).
constexpr long FailureNeedsAPersonSeconds = 86400;

// Whether run b came after run a: by the run sequence, which no clock moves,
// where both have it, else by their time stamps.
bool cameAfter(const FiledRun& a, const FiledRun& b);

// The run folders of base (archive/ or failed/) that the watcher filed.
std::vector<FiledRun> filedRuns(const std::string& base);
