// The metrics file (metrics = PATH): the watcher's counts in the
// Prometheus text format, for node_exporter's textfile collector, written
// whole (a temporary file, then a rename) after each run and every minute.
#pragma once
#include "watch/watcher.h"

// The last whole import of each type code from archive/, at the start.
void readLastImports(Watcher& watcher);

// Writes the file, when the configuration names one; a failure is logged
// once per kind of error.
void writeMetrics(Watcher& watcher, double now);
