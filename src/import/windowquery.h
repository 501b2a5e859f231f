// How a window's statements are put into one query: the units that travel
// together (a slot alone, or the inserts of several slots folded into one
// multi-row INSERT), and the text of the query in run.query, or the set
// path's upsert behind its savepoint.
#pragma once
#include <cstddef>

#include "import/windowdata.h"

// A slot of an Update step whose record is resolved needs nothing more: the
// update failed or changed its row, or the set path wrote the record.
bool isDone(const Window& win, const Slot& slot);

// The slots from cursor on that go in one query, as units in run.units: up
// to the end of the window, but not past an insert that waits for its
// update's count; one statement only without multi-statement queries.
// Slots that are done are passed over. Returns the number of units.
int planUnits(WindowState& run, const Window& win, int cursor);

// The text of the units as one query in run.query, ";" between the
// statements. Returns its length; units becomes the number that fit in the
// query, at least one (a window's statements always fit its query).
size_t composeQuery(WindowState& run, const Window& win, int& units);

// Appends the units from `from` on to the query of length used in
// run.query, each after ";" (but the query's first), as long as they fit.
// Returns how many were appended.
int appendUnits(WindowState& run, const Window& win, int from, int units, size_t& used);

// The window's update-else-insert records as one multi-row INSERT with the
// member's ON DUPLICATE KEY UPDATE, behind a savepoint, in run.query, its
// rows in tuples. Returns the length, 0 when some record's insert did not
// fit or there is only one record (it goes the exact way).
size_t composeUpsert(WindowState& run, const Window& win, int& tuples);
