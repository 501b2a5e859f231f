// A set-path window's rows whose results count for nothing (IDN's Sto and
// link rows) travel behind its upsert, in the same query. Where their
// tables allow it (ways.h, groupIgnored), they are gathered by table first,
// so that each table's rows travel as one multi-row INSERT.
#pragma once

#include "import/windowdata.h"

// Whether the window's rows may be gathered before its upsert is sent:
// every slot is either such a row or of an update-else-insert step, which
// a clean upsert settles.
bool gathersBeforeUpsert(const WindowState& run, const Window& win);

// Rewrites the window's slots as gathered: the rows whose results are
// ignored first, the rows of each plan step (so of each table) next to each
// other in file order, first the texts met for the first time in the
// window, which join their step's multi-row INSERT, then the repeats, each
// on its own; every other slot after them, in file order. Returns the
// number of rows that stand first.
int gatherIgnoredRows(WindowState& run, Window& win);
