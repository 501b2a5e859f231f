#include "watch/retention.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/runfolder.h"

namespace {

constexpr long SecondsPerDay = 86400;

// The run folders of path that the watcher filed more than days ago go.
void removeOldRunsIn(const std::string& path, long days, const char* key, time_t now) {
    if (days <= 0) return;
    UniqueFd base(openFolder(AT_FDCWD, path));
    if (!base.valid()) return;
    for (const RunFolderEntry& run : listRunFolders(base.get())) {
        const time_t taken = run.recorded && run.record.step == Step::Filing ? stampTime(run.record.stamp) : -1;
        if (taken < 0 || now - taken <= days * SecondsPerDay) continue;
        if (removeTree(base.get(), run.name)) {
            diagnose("removed %s/%s: older than %s = %ld days", path.c_str(), run.name.c_str(), key, days);
        } else {
            diagnose("cannot remove %s/%s (older than %s = %ld days): %s", path.c_str(), run.name.c_str(), key, days,
                     strerror(errno));
        }
    }
    syncFolder(base.get());
}

}  // namespace

void removeOldRuns(const WatchConfig& config, time_t now) {
    removeOldRunsIn(config.archive, config.keepArchiveDays, "keep-archive", now);
    removeOldRunsIn(config.failed, config.keepFailedDays, "keep-failed", now);
}
