// Retention: run folders older than keep-archive (archive/) or
// keep-failed (failed/) days are removed, at the start and once an hour.
// Only folders the watcher can read as run folders (their record says
// they were filed) are ever removed; 0 days keeps them for ever.
#pragma once
#include <ctime>

#include "watch/config.h"

void removeOldRuns(const WatchConfig& config, time_t now);
