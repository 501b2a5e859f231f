#include "watch/retention.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "watch/durable.h"
#include "watch/history.h"
#include "watch/runrecord.h"

namespace {

constexpr long SecondsPerDay = 86400;

// When name in base is a run folder, its record's time of taking; -1 when
// it is not one the watcher filed.
time_t takenAt(int base, const std::string& name) {
    int folder = openFolder(base, name);
    if (folder < 0) return -1;
    RunRecord record;
    const bool filed = readRunRecord(folder, record) && record.step == Step::Filing;
    close(folder);
    return filed ? stampTime(record.stamp) : -1;
}

void removeOldRunsIn(const std::string& path, long days, const char* key, time_t now) {
    if (days <= 0) return;
    int base = openFolder(AT_FDCWD, path);
    std::vector<std::string> names;
    if (base < 0 || !listFolder(base, names)) {
        if (base >= 0) close(base);
        return;
    }
    for (const std::string& name : names) {
        const time_t taken = name[0] == '.' ? -1 : takenAt(base, name);
        if (taken < 0 || now - taken <= days * SecondsPerDay) continue;
        if (removeTree(base, name)) {
            diagnose("removed %s/%s: older than %s = %ld days", path.c_str(), name.c_str(), key, days);
        } else {
            diagnose("cannot remove %s/%s (older than %s = %ld days): %s", path.c_str(), name.c_str(), key, days,
                     strerror(errno));
        }
    }
    syncFolder(base);
    close(base);
}

}  // namespace

void removeOldRuns(const WatchConfig& config, time_t now) {
    removeOldRunsIn(config.archive, config.keepArchiveDays, "keep-archive", now);
    removeOldRunsIn(config.failed, config.keepFailedDays, "keep-failed", now);
}
