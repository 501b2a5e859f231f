// The plan of a check run: for each table the type code writes, the rows
// before the import and after it, inside the run's one transaction, and
// what the import inserted, changed and deleted, with the exit status the
// real run would end with. One line per table on standard error.
#pragma once
#include <cstdint>

#include "import/recordloop.h"

// The status of a check that refused to run: a table it would write has no
// transactions, so the rollback could not undo the run.
constexpr int32_t RefusedResult = 3;

// Before the first statement of the import: refuses (RefusedResult) when a
// table of the type code has no transactions, else reads the tables. An
// unknown type code has no tables; the import itself says so.
int32_t planBeforeImport(const char* typeCode);

// After the last statement, before the rollback: reads the tables again and
// prints the plan. When the run would not commit, the tables stay as they
// were, and the plan says so.
void planAfterImport(const char* typeCode, const LoopOutcome& outcome);
