// Counting what a run deletes from a table, on the server, inside the run's
// transaction. Before the run's first statement the table's primary key
// values are copied into a temporary table of the session (or, without a
// primary key, its rows are counted); after its last statement that copy
// is joined with the table through its primary key, so that keys are
// compared as the table's own index compares them (case, trailing blanks).
// Only numbers come back to the client. The copies stay until the session
// ends with the run.
#pragma once
#include <cstdint>

constexpr int MaxCountedTables = 4;

// What was counted of one table.
struct TableCount {
    long long before = 0;
    long long after = 0;
    long long deleted = 0;
};

// How a table's deleted rows are found: by its keys (a table the run's
// statements delete from, or one with triggers or foreign keys, which can
// delete anything), or by its rows alone (one the statements only insert
// into or update by key: it loses none of its keys).
enum class CountBy { Keys, Rows };

// Before the run: notes the table (slot 0 to MaxCountedTables - 1) as
// asked. The copy is a consistent read that takes no locks, so the run's
// own statements wait for other transactions exactly where they would
// without the guard. 0 or the error number.
int32_t countBefore(int slot, const char* table, CountBy by, TableCount& count);

// After the run: the table's rows now and the rows of before that are gone
// (the keys no longer there; without a primary key the rows it has fewer).
// 0 or the error number.
int32_t countAfter(int slot, const char* table, TableCount& count);

// The server's text for the last count that failed.
const char* countErrorText();
