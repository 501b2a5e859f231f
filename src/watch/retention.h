// Retention: run folders older than keep-archive (archive/) or
// keep-failed (failed/) days are removed, at the start and once an hour.
// Only folders the watcher can read as run folders (their record says
// they were filed) are ever removed; 0 days keeps them for ever. The
// newest KeptNewestRuns of each type code in each folder stay whatever
// the clock says: those taken last, by the run folder's name (which begins
// with the UTC time of taking) and by the time its record gives. The
// senders' receipts go with the same days (keep-archive for an imported
// file's, keep-failed for the others'), by the time each was written, and
// the newest KeptNewestRuns of each type code among the imported and among
// the others stay.
#pragma once
#include <cstddef>
#include <ctime>

#include "watch/config.h"

constexpr size_t KeptNewestRuns = 10;

void removeOldRuns(const WatchConfig& config, time_t now);
