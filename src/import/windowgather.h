// A set-path window whose upsert has written its records still has the rows
// whose results count for nothing (IDN's Sto and link rows) to send. Where
// their tables allow it (ways.h, groupIgnored), they are gathered by table,
// so that each table's rows travel as one multi-row INSERT.
#pragma once

#include "import/windowdata.h"

// Whether everything the window still has to send is rows whose results
// are ignored, and they may be gathered.
bool onlyIgnoredRowsLeft(const WindowState& run, const Window& win);

// Rewrites the window's slots as gathered: the rows of each plan step (so
// of each table) next to each other in file order, first the texts met for
// the first time in the window, which join their step's multi-row INSERT,
// then the repeats, each on its own. The slots that are done are dropped.
void gatherIgnoredRows(WindowState& run, Window& win);
