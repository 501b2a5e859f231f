// The take-over of run folders that no watcher files any more: an earlier
// watcher was killed or the machine stopped. Each run goes on from the step
// its record names; a run whose lock is held (its importer outlived its
// watcher, or another watcher shares the working directory) waits, and
// holds back its type code, until the lock is free.
#pragma once
#include "watch/watcher.h"

// At the start, before any file is taken: the run folders in the staging
// area that no process holds are taken over as jobs that resume from their
// recorded step; those held by a running importer wait for it.
void takeOverLeftovers(Watcher& watcher, double now);

// A run folder held by another process: when its lock is free, the run is
// taken over (or forgotten, when its holder filed it). True when the job is
// over.
bool lookAtLockedRun(Watcher& watcher, Job& job, double now);

// A run an earlier watcher left, whose lock this watcher holds: goes on
// from its recorded step. True when the job is over.
bool resumeRun(Watcher& watcher, Job& job, double now);
