#include "watch/order.h"

#include "watch/clocks.h"
#include "watch/lastimports.h"
#include "watch/names.h"
#include "watch/pair.h"
#include "watch/runfolder.h"

namespace {

constexpr double NanosecondsPerSecond = 1e9;

bool before(const OrderKey& a, const OrderKey& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.name < b.name;
}

OrderKey keyOf(const std::string& name, const DropFile& file) {
    return {nanosecondsOf(file.modified), name};
}

// A file that is to be taken later, as it is: settling, still written, its
// marker not yet there (within its marker-wait), or held by --once for the
// next run. A file the watcher will never take as it is (held for holes,
// say) holds nothing back, nor one whose marker is overdue: a person is
// told of it, and should it come after all behind a newer file, it is
// refused as older.
bool notReadyYet(const std::string& name, const DropFile& file, const FileRule& rule,
                 const std::set<std::string>& complete) {
    if (file.held) return file.laterRun;
    if (complete.count(name) == 0) return true;
    return !markerReady(rule, name, complete) && !file.halfSaid;
}

// A modification time for a person to read.
std::string timeText(long long nanoseconds) {
    return utcText(static_cast<time_t>(static_cast<double>(nanoseconds) / NanosecondsPerSecond));
}

}  // namespace

std::map<std::string, OrderKey> filesNotReady(const Watcher& watcher, const std::set<std::string>& complete) {
    std::map<std::string, OrderKey> first;
    for (const auto& [name, file] : watcher.queue.files) {
        const EntrySection entry = sectionOfEntry(watcher, name, file);
        const FileRule* rule = entry.rule;
        if (entry.marker || rule == nullptr || !notReadyYet(name, file, *rule, complete)) continue;
        const OrderKey key = keyOf(name, file);
        const auto found = first.find(rule->typeCode);
        if (found == first.end() || before(key, found->second)) first[rule->typeCode] = key;
    }
    return first;
}

bool olderFileWaits(const Watcher& watcher, const std::map<std::string, OrderKey>& notReady, const FileRule& rule,
                    const std::string& name) {
    const auto found = notReady.find(rule.typeCode);
    const auto file = watcher.queue.files.find(name);
    return found != notReady.end() && file != watcher.queue.files.end() &&
           before(found->second, keyOf(name, file->second));
}

bool olderThanImported(const Watcher& watcher, const Job& job, std::string& reason) {
    if (job.record.deliveredModified < 0) return false;
    std::map<std::string, LastImport> notes;
    readLastImportNotes(watcher.stagingFd.get(), notes);
    const auto found = notes.find(job.record.rule.typeCode);
    if (found == notes.end()) return false;
    const LastImport& last = found->second;
    if (last.modified < 0 || last.sequence == job.record.sequence || job.record.deliveredModified >= last.modified) {
        return false;
    }
    const std::string config = job.site.path == DefaultConfigPath ? "" : " --config " + job.site.path;
    reason = "older than " + shownName(last.name) + ", the last " + job.record.rule.typeCode +
             " file committed (modified " + timeText(last.modified) + "; this one modified " +
             timeText(job.record.deliveredModified) + "): imported now, it would bring older data back over newer, so "
             "it was not imported; if it is to be imported all the same: kelvora-watch" + config +
             " requeue --force " + pathIn(job.site.failed, job.folderName);
    return true;
}
