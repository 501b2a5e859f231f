// Sending a window's statements, query after query, and applying what each
// statement gave to its record: a multi-row INSERT whose records go again
// one by one when it failed, the insert after an update, a statement that
// goes again alone, a member that plans the rest again, and the record the
// run stops at.
#pragma once
#include <cstdint>

#include "import/windowdata.h"

// How a result leaves the sending of the window.
enum class After { Next, Regroup, Replan, Stopped };

// The record's result is known; the server's text of a failure is kept for
// standard error.
void resolve(Window& win, Entry& entry, int32_t result);

// The run stopped at this record: its own result and output are kept.
After stopAt(Window& win, int index, int32_t code);

// Applies the answers to the first units in run.units, which travelled in
// one query of `units` units: a statement that failed ended the query, and
// cursor moves past what the answers settled, or back to the slot that
// goes again. False when the run stopped.
bool applyAnswers(WindowState& run, Window& win, int units, const StatementResult* results, int answered,
                  int& cursor);

// Sends the slots of the window from cursor on, in order, query after
// query: a statement that fails ends its query's results, and the
// statements after it go again.
void sendSlots(WindowState& run, Window& win, int cursor);
