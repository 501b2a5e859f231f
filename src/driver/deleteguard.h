// The deletion guard. A file can be well formed and still wrong: an export
// run with a wrong filter delivers a tenth of the rows, and the replace or
// the sweep deletes the rest. With KELVORA_MAX_DELETES=N or
// KELVORA_MAX_DELETE_SHARE=P set, a run that deletes more rows of a table
// than every limit set (more than N rows, and more than P % of the rows the
// table had) commits nothing.
//
// A row counts as deleted when its primary key was in the table before the
// run's first statement and is not there after its last, keys compared by
// the server as its index compares them; a table without a primary key
// counts the rows it has fewer. The server counts: the keys before go into
// a temporary table of the run's session, which the tables after are
// joined with, inside the run's one transaction. The client holds numbers
// only, whatever the tables' size.
#pragma once
#include <cstdint>

#include "import/recordloop.h"

constexpr int MaxGuardedTables = 4;
constexpr long NoDeleteLimit = -1;

// The limits of the run; NoDeleteLimit where a variable is not set.
struct DeleteLimits {
    long rows = NoDeleteLimit;    // KELVORA_MAX_DELETES
    long share = NoDeleteLimit;   // KELVORA_MAX_DELETE_SHARE, in percent
};

// What the guard knows of one table the type code writes.
struct GuardedTable {
    const char* name = nullptr;   // the member's own name for it
    bool exists = false;
    bool noted = false;           // the rows before the import are known
    bool counted = false;         // the counts after the import are known
    long long before = 0;
    long long after = 0;
    long long deleted = 0;
    bool tooMany = false;
};

// Reads the two variables at the start of a run. A value that is not a
// whole number in range is taken as 0, the strictest, with a word on
// standard error: who sets it wants no mass deletion.
void takeDeleteLimits();

// Whether either variable is set; without them the guard sends nothing.
bool deleteGuardSet();
const DeleteLimits& deleteLimits();

// The type code's tables, its own first, as far as the guard has seen them.
int guardedTableCount();
const GuardedTable& guardedTable(int index);

// Before the first statement of the import: notes each table's keys (or
// its rows) on the server. False, with the outcome that ends the run, when
// that cannot be done or a table has no transactions (a rollback could not
// undo what the run deletes there); nothing of the import has been sent
// then.
bool countRowsBefore(const char* typeCode, LoopOutcome& outcome);

// After a loop that completed: counts each table's deletions and holds the
// run (TooManyDeleted, its lines printed) when a table loses too many.
// Returns the outcome the run goes on with.
LoopOutcome judgeDeletions(const LoopOutcome& outcome);
