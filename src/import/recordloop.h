// The record loop that every type code runs: the opening statement, the
// lines of the work file, the records' statements (sent in windows), the
// closing statement and the count message.
#pragma once
#include <cstdint>

#include "import/member.h"

struct TextFile;

extern char RecordBuffer[RecordBufferSize];

// How a record loop ended, beside its result code:
//   Completed           the file was read to its end; the run commits.
//   NoValidLine         lines were rejected for their length and none had
//                       it: a file of another type or format; nothing may
//                       be committed.
//   TransactionAborted  the server ended the transaction, or the opening
//                       statement failed while records were written; the
//                       abort line has been printed and nothing may be sent.
//   ReadFailed          the work file could not be read to its end.
//   StatementTooLong    a statement did not fit its buffer.
//   Utf8File            the file is UTF-8, not Windows-1252: nothing was
//                       sent, and its one line on standard output is all.
//   TooManyFailed       more records failed than MaxFailedRecords allows:
//                       the closing statement was not run, and nothing may
//                       be committed.
//   OpeningFailed       the run is all or nothing (MaxFailedRecords is set)
//   ClosingFailed       and its opening or closing statement failed; the
//                       abort line has been printed and nothing may be
//                       committed.
// The deletion guard (driver/deleteguard.h) ends a run that completed in
// two more ways, and one that could not start in the second:
//   TooManyDeleted      a table would lose more rows than the limits
//                       allow; its lines are printed, nothing may be
//                       committed.
//   DeletionsNotCounted the deletions could not be counted, or a table
//                       has no transactions; nothing may be committed.
enum class LoopEnding { Completed, NoValidLine, TransactionAborted, ReadFailed, StatementTooLong, Utf8File,
                        TooManyFailed, OpeningFailed, ClosingFailed, TooManyDeleted, DeletionsNotCounted };

struct LoopOutcome {
    int32_t code;   // the final LastResultCode
    LoopEnding ending;
};

// Runs the member over the open work file.
LoopOutcome runRecordLoop(const ImportMember& member, TextFile& workFile);

// The line that ends a run whose transaction must not be committed.
void printTransactionAborted(int32_t code);
