// Statement windows: the records of a run travel to the server in groups,
// many statements in one query, and their output is written in record
// order once the results are known. What a caller sees (every byte of
// output, RecordCount, LastResultCode, the rows) is what one statement per
// query gives; a window of one record is exactly that.
//
// A window holds the lines read since it was last sent: records with the
// statements their member planned, and lines of the wrong length, whose
// messages wait for the records before them. It is sent when it holds its
// number of records or bytes, when a record's update key repeats one in
// it, and at the end of the file.
#pragma once
#include <cstdint>

#include "import/member.h"

// Records per window when nothing else is said.
constexpr int DefaultWindowRecords = 1000;

// Starts the windows of a run of member over records of recordLength
// characters, with at most records per window (1: one statement per query,
// nothing else). Switches the connection to multi-statement queries when
// windows are larger than one record.
void startWindows(const ImportMember& member, int32_t recordLength, int records);

// Queues a line that holds nothing but its newline: it is passed over
// without output, and counted for the summary in its turn. False once the
// run has stopped (a full window was sent first).
bool queueLoneNewline(long lineNumber);

// Queues a line of the wrong length: shown is what was read of it (the /D
// echo), actualLength the length of the whole line. False once the run has
// stopped.
bool queueWrongLength(const char* shown, long lineNumber, long actualLength);

// Queues the record in line (of the record length): cut, planned and its
// statements formatted; sends the window when it is full. False once the
// run has stopped (a statement that did not fit, or a failure that ended
// the transaction); the output up to that point has been written.
bool queueRecord(const char* line, long lineNumber);

// Sends what is queued and writes its output; false once the run has
// stopped.
bool flushWindow();

