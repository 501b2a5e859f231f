// The set path: a window of update-else-insert records as one multi-row
// INSERT ... ON DUPLICATE KEY UPDATE behind a savepoint, sent at once or
// ahead (the server works on it while the next window is filled), and the
// rest of the window once its upsert is done.
#pragma once

#include "import/windowdata.h"

// Sends the window's upsert, with its Sto and link rows behind it where
// they may be gathered, and takes their results. Returns the slot from
// which the rest of the window goes.
int sendUpsert(WindowState& run, Window& win);

// The rest of a window once its upsert, if it had one, is done: its
// statements from cursor on, in order, then its output.
void completeWindow(WindowState& run, Window& win, int cursor);

// A full window on the set path goes ahead: its upsert is sent (with its
// Sto and link rows behind it, as sendUpsert sends them), and the
// next window is filled (its lines read, cut and formatted) while the
// server works. Its result is read, and whatever else the window needs is
// sent, before anything of the next window is sent: the server sees the
// statements of one window after another, as without sending ahead. False
// when the window has no upsert to send.
bool sendAhead(WindowState& run, WindowPair& pair);

// The window sent ahead, landed: its upsert's result taken, the rest of
// its statements sent, its output written. False once the run has
// stopped; the window being filled then holds lines read after the stop,
// and is dropped: nothing of them is written.
bool landAhead(WindowState& run, WindowPair& pair);
