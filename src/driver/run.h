// One import run, from the connection to the exit status.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/contract.h"
#include "import/recordloop.h"

struct JournalRun;

constexpr int32_t UnknownTypeCode = -1;

// The date YYYYMMDD from the server's "dd.mm.yyyy hh:mm:ss"; empty when the
// text is too short to hold a date.
void buildServerDate(const char* dateTime, char* target, size_t targetSize);

// The kind of a run. An import moves its file aside to the work file and
// commits. A check runs the same import on the file where it stands, and
// rolls back where the import would commit; its hooks see the tables
// before the first statement of the import and after the last.
struct RunKind {
    bool check = false;
    // After the file is open, before any statement of the import: 0, or
    // the result that ends the run at once (nothing is imported).
    int32_t (*beforeImport)(const char* typeCode) = nullptr;
    // After the import, before its transaction ends.
    void (*afterImport)(const char* typeCode, const LoopOutcome& outcome) = nullptr;
};

// The end of a run that read its file: the COMMIT when the loop allows one
// (a failed COMMIT is announced as an aborted transaction), and the final
// empty line of a debug run; a check rolls back instead. With journal, the
// journal row goes in right before the COMMIT when a journal is asked for
// (driver/journal.h), and a row that cannot be written ends the run as a
// failed COMMIT does. Returns the run's result code.
int32_t finishImport(const LoopOutcome& outcome, const RunKind& kind = RunKind(),
                     const JournalRun* journal = nullptr);

// Runs the import named by the command line (already checked) and returns
// the result code that becomes the exit status.
int32_t runImport(int argc, char** argv, const RunKind& kind = RunKind());
