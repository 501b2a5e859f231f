// What the operator learns on standard error about the lines of a run: the
// first failed or rejected records one by one, the number of those left
// out, a stop of the run, and the counts for the summary. Standard output
// is not touched here.
#pragma once
#include <cstdint>

// The counts of a run's lines, for the summary line.
struct ImportTally {
    long lines = 0;          // physical lines read, lone newlines included
    long written = 0;        // records whose statements succeeded
    long failed = 0;         // records whose statement failed
    long wrongLength = 0;
    long loneNewlines = 0;
    const char* failedStatement = nullptr;   // "opening" or "closing": a fixed statement of the run failed
};
extern ImportTally Tally;

// The records the member's count message counts: those written whose plan
// counts them. The windows count them as they write their output; the
// record loop starts the count and prints it.
extern int32_t RecordCount;

// The name of the file being read, for the messages.
void reportFile(const char* path);

void reportWrongLength(long line, long actualLength, long recordLength);
void reportFailedRecord(long line, int32_t code, const char* serverText);
void reportWritten();

// The run stopped at a record (line > 0) or at the opening or closing
// statement (line 0): the server ended the transaction.
void reportTransactionEnded(long line, int32_t code, const char* serverText);
void reportStatementTooLong(long line);

// A fixed statement of the run (kind "opening" or "closing") failed: its
// text, its role in words (or null), the error and the server's text, and
// what that leaves behind (or null).
void reportStatementFailed(const char* kind, const char* statement, const char* role, int32_t code,
                           const char* serverText, const char* leaves);

// The work file is UTF-8: the first line with a sequence, and its bytes in
// hexadecimal.
void reportUtf8File(long line, const char* bytes);

// After the last record: how many failed or rejected records were not
// listed one by one.
void reportLeftOut();
