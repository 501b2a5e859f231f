// One import run, from the connection to the exit status.
#pragma once
#include <cstddef>
#include <cstdint>

#include "import/recordloop.h"

constexpr int32_t FileFailure = 99;
constexpr int32_t UnknownTypeCode = -1;

// The date YYYYMMDD from the server's "dd.mm.yyyy hh:mm:ss"; empty when the
// text is too short to hold a date.
void buildServerDate(const char* dateTime, char* target, size_t targetSize);

// The end of a run that read its file: the COMMIT when the loop allows one
// (a failed COMMIT is announced as an aborted transaction), and the final
// empty line of a debug run. Returns the run's result code.
int32_t finishImport(const LoopOutcome& outcome);

// Runs the import named by the command line (already checked) and returns
// the result code that becomes the exit status.
int32_t runImport(int argc, char** argv);
