// The output of a window's lines, written in file order once the window's
// results are known: the /D echo, the wrong-length message, the member's
// failure line, RecordCount and LastResultCode, exactly as one statement
// per query gives them, and the run's counts and listed failures on
// standard error.
#pragma once
#include <cstdint>

#include "import/windowdata.h"

// The /D echo of a line read.
void echoLine(const char* line);

// The output of a line of the wrong length that nothing waits before:
// written at once, as it is read.
void writeWrongLengthNow(const char* shown, long lineNumber, long actualLength, int32_t recordLength);

// The window's output in file order, up to the record the run stopped at;
// a record whose statement did not fit is only echoed. The member's
// failure line cuts its record into run.row.
void writeOutput(WindowState& run, Window& win);
