#include "watch/retention.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/names.h"
#include "watch/receipt.h"
#include "watch/runfolder.h"

namespace {


using RunOrder = bool (*)(const RunFolderEntry*, const RunFolderEntry*);

// Later by the name of the run folder, which begins with the UTC time of
// taking.
bool laterByName(const RunFolderEntry* one, const RunFolderEntry* other) {
    return one->name > other->name;
}

// Later by the time of taking the record says (the name for a tie).
bool laterByStamp(const RunFolderEntry* one, const RunFolderEntry* other) {
    if (one->record.stamp != other->record.stamp) return one->record.stamp > other->record.stamp;
    return laterByName(one, other);
}

// Adds to kept the KeptNewestRuns first runs of each type code in order.
// A run is counted once: a folder that holds the same run as one before it
// (its id, copied) is an older copy, not one of the newest runs.
void keepFirstOfEachType(std::vector<const RunFolderEntry*> runs, RunOrder later, std::set<std::string>& kept) {
    std::sort(runs.begin(), runs.end(), later);
    std::map<std::string, size_t> counted;
    std::set<std::string> seen;
    for (const RunFolderEntry* run : runs) {
        if (!run->record.id.empty() && !seen.insert(run->record.id).second) continue;
        if (counted[run->record.rule.typeCode]++ < KeptNewestRuns) kept.insert(run->name);
    }
}

// The run folders retention leaves whatever their age: the newest of each
// type code, by their names and by their records, so that a clock set
// ahead cannot make it empty the folder, and the last runs of each type
// code stay to be looked at, failed files never imported among them.
std::set<std::string> newestRuns(const std::vector<RunFolderEntry>& runs) {
    std::vector<const RunFolderEntry*> recorded;
    for (const RunFolderEntry& run : runs) {
        if (run.recorded) recorded.push_back(&run);
    }
    std::set<std::string> kept;
    keepFirstOfEachType(recorded, laterByName, kept);
    keepFirstOfEachType(recorded, laterByStamp, kept);
    return kept;
}

// The run folders of path that the watcher filed more than days ago go,
// but for the newest of each type code.
void removeOldRunsIn(const std::string& path, long days, const char* key, time_t now) {
    if (days <= 0) return;
    UniqueFd base(openFolder(AT_FDCWD, path));
    if (!base.valid()) return;
    const std::vector<RunFolderEntry> runs = listRunFolders(base.get());
    const std::set<std::string> newest = newestRuns(runs);
    for (const RunFolderEntry& run : runs) {
        const time_t taken = run.recorded && run.record.step == Step::Filing ? stampTime(run.record.stamp) : -1;
        if (taken < 0 || now - taken <= days * SecondsPerDay || newest.count(run.name) != 0) continue;
        if (removeTree(base.get(), run.name)) {
            diagnose("removed %s/%s: older than %s = %ld days", path.c_str(), run.name.c_str(), key, days);
        } else {
            diagnoseAt(Severity::Warning, "cannot remove %s/%s (older than %s = %ld days): %s", path.c_str(),
                       run.name.c_str(), key, days, strerror(errno));
        }
    }
    syncFolder(base.get());
}

// Later by the time the receipt was written (the name for a tie).
bool laterReceipt(const ReceiptEntry& one, const ReceiptEntry& other) {
    if (one.filed != other.filed) return one.filed > other.filed;
    return one.name > other.name;
}

// The receipts go with their run folders' days, by the time each was
// written: an imported file's after keep-archive days, the others' after
// keep-failed days. As with the run folders, the newest KeptNewestRuns of
// each type code among the imported receipts, and among the others, stay
// whatever the clock says.
void removeOldReceipts(const WatchConfig& config, time_t now) {
    if (config.receipts.empty()) return;
    UniqueFd folder(openFolder(AT_FDCWD, config.receipts));
    if (!folder.valid()) return;
    std::vector<ReceiptEntry> receipts = listReceipts(folder.get());
    std::sort(receipts.begin(), receipts.end(), laterReceipt);
    std::map<std::string, size_t> counted;   // by type code, imported or not
    for (const ReceiptEntry& receipt : receipts) {
        const bool imported = receipt.outcome == ImportedOutcome;
        const long days = imported ? config.keepArchiveDays : config.keepFailedDays;
        const char* key = imported ? "keep-archive" : "keep-failed";
        if (counted[receipt.typeCode + (imported ? " imported" : " other")]++ < KeptNewestRuns) continue;
        if (days <= 0 || now - receipt.filed <= days * SecondsPerDay) continue;
        if (unlinkat(folder.get(), receipt.name.c_str(), 0) == 0) {
            diagnose("removed %s/%s: older than %s = %ld days", config.receipts.c_str(), shownName(receipt.name).c_str(),
                     key, days);
        } else {
            diagnose("cannot remove %s/%s (older than %s = %ld days): %s", config.receipts.c_str(),
                     shownName(receipt.name).c_str(), key, days, strerror(errno));
        }
    }
    syncFolder(folder.get());
}

}  // namespace

void removeOldRuns(const WatchConfig& config, time_t now) {
    removeOldRunsIn(config.archive, config.keepArchiveDays, "keep-archive", now);
    removeOldRunsIn(config.failed, config.keepFailedDays, "keep-failed", now);
    removeOldReceipts(config, now);
}
