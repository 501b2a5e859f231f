// For tests only: KELVORA_WATCH_CRASH_AT=STEP makes the watcher end at once
// with _exit(137), as a SIGKILL would, right after it reached STEP (a run
// step: taking, taken, checked, started, filing; or "copied", once the copy
// of a taken file is in its run folder but the drop entry is still there;
// "running", once an import was started; "moved", once a run folder is in
// archive/ or failed/ but not yet gone from the staging area). Nothing is
// flushed.
#pragma once

void crashPoint(const char* step);
