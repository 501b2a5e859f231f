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
};
extern ImportTally Tally;

// The name of the file being read, for the messages.
void reportFile(const char* path);

void reportWrongLength(long line, long actualLength, long recordLength);
void reportFailedRecord(long line, int32_t code, const char* serverText);
void reportWritten();

// The run stopped at a record (line > 0) or at the opening or closing
// statement (line 0): the server ended the transaction.
void reportTransactionEnded(long line, int32_t code, const char* serverText);
void reportStatementTooLong(long line);

// After the last record: how many failed or rejected records were not
// listed one by one.
void reportLeftOut();
