// The record loop that every type code runs, and the description of a type
// code (a member) that drives it: its record length, its record layout as a
// table of fields, its statements and its messages. The loop knows nothing of
// a particular table.
#pragma once
#include <cstdint>

#include "import/statement.h"

struct TextFile;

constexpr int RecordBufferSize = 500;
constexpr int MaxRecordFields = 32;
constexpr int MaxFieldWidth = 255;

// Expected length of one record line per record kind, the line end counted
// as one character.
enum RecordKind {
    Record20P, Record35P, Record41P, RecordMND, RecordIDN,
    RecordSLDShort, RecordSLDLong, RecordKST, RecordBKL,
    RecordFTG, RecordMST, RecordMDT, RecordFCD, RecordKindCount
};
extern const int32_t RecordLengthTable[RecordKindCount];

extern char RecordBuffer[RecordBufferSize];
extern int32_t RecordCount;

// One field of a record: where it stands in the line, and whether trailing
// blanks are cut off. target is the field's index in the member's row.
struct FieldSpec {
    int offset;
    int width;
    bool trimmed;
    int target;
};

// The fields of one record, each a NUL-terminated text one byte wider than
// its record field.
struct RecordRow {
    char field[MaxRecordFields][MaxFieldWidth + 1];
    char* operator[](int index) { return field[index]; }
    const char* operator[](int index) const { return field[index]; }
};

// What became of one record: its result code, and whether it takes part in
// counting and failure reporting at all (a record that only updates another
// table, such as the "*ZKO" records of 35P, does not).
struct WriteOutcome {
    int32_t code;
    bool counts;
};

inline WriteOutcome counted(int32_t code) { return {code, true}; }
inline WriteOutcome uncounted(int32_t code) { return {code, false}; }

struct ImportMember {
    RecordKind recordKind;                  // entry of RecordLengthTable
    const FieldSpec* layout;
    int fieldCount;
    int32_t (*opening)();                   // delete or mark all rows; may be null
    bool (*openingApplies)();               // null: the opening always runs
    WriteOutcome (*writeRecord)(RecordRow& row);
    int32_t (*closing)();                   // sweep; may be null
    const char* failureMessage;             // "%d", or "%s" then "%d" with failureField
    const char* updateModeFailureMessage;   // null: failureMessage in both modes
    int failureField;                       // row field printed by "%s", or -1
    bool failureOnlyInDebug;
    bool openingGuardsWrites;               // a failed opening forbids committing written records
    const char* countMessage;               // "%d" with RecordCount
    RecordKind (*chooseRecordKind)(TextFile& workFile);  // null: recordKind
};

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
enum class LoopEnding { Completed, NoValidLine, TransactionAborted, ReadFailed, StatementTooLong };

struct LoopOutcome {
    int32_t code;   // the final LastResultCode
    LoopEnding ending;
};

// Runs the member over the open work file.
LoopOutcome runRecordLoop(const ImportMember& member, TextFile& workFile);

// The line that ends a run whose transaction must not be committed.
void printTransactionAborted(int32_t code);

// Cuts the member's fields out of a line of recordLength characters (the
// line end included) into row, each field zeroed first and trimmed where
// the layout says so. The record loop's own step; public so that the fuzz
// targets can cut lines without a database.
void cutRecordFields(const ImportMember& member, const char* line, int32_t recordLength, RecordRow& row);

// The member's opening is skipped in UpdateMode (20P, 35P, 41P, BKL).
bool outsideUpdateMode();

// Update-else-insert, the write of every member that keeps existing rows:
// when the update succeeded but changed no row, the insert runs; an insert
// refused as a duplicate key means the record is stored already and counts
// as written. Returns 0 or the failing statement's result code.
using RowStatement = int32_t (*)(const RecordRow& row);
int32_t writeUpdateElseInsert(const RecordRow& row, RowStatement update, RowStatement insert);

// The first count fields of a row, in layout order, as text arguments of a
// statement: for the statements that take every field in the order of the
// record.
void rowTextArguments(const RecordRow& row, int count, SqlArg* args);
