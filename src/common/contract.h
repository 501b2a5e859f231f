// What the importer and the programs that run it (kelvora-watch) agree on:
// the names of the environment variables that set a run's limits, the exit
// statuses and the words of the run report that tell its ending. The
// importer writes them and the watcher reads them; both take them from
// here, so that a change of one word reaches both.
#pragma once
#include <cstdint>

// The deletion guard: with either set, a run that would delete more rows of
// a table than every limit set commits nothing.
constexpr const char* MaxDeletesVariable = "KELVORA_MAX_DELETES";
constexpr const char* MaxDeleteShareVariable = "KELVORA_MAX_DELETE_SHARE";

// The result (and exit status) of a run the deletion guard held: it would
// have deleted too many rows, or it could not have undone what it deletes
// (a table without transactions). Nothing was committed.
constexpr int32_t TooManyDeletedResult = 96;

// The report's endings of the deletion guard: the run held, and the run
// whose deletions could not be counted (nothing committed either way).
constexpr const char* TooManyDeletedEnding = "too many deleted";
constexpr const char* DeletionsNotCountedEnding = "deletions not counted";
