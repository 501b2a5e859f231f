#include "watch/metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/history.h"
#include "watch/lastimports.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/workview.h"

namespace {

constexpr mode_t MetricsMode = 0644;   // no secret in it, and the collector runs as a user of its own

// One metric's help and type lines.
void describe(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& text, const char* name, const std::string& labels, double value) {
    char number[64];
    snprintf(number, sizeof number, "%.17g", value);
    text += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
}

// The per type code counters and times.
void typeMetrics(const Watcher& watcher, std::string& text) {
    describe(text, "kelvora_watch_files_imported_total", "counter", "Files imported whole, since the watcher started.");
    for (const auto& [type, counts] : watcher.typeCounts) {
        sample(text, "kelvora_watch_files_imported_total", "type=\"" + type + "\"", static_cast<double>(counts.imported));
    }
    describe(text, "kelvora_watch_files_failed_total", "counter", "Files filed in failed/, since the watcher started.");
    for (const auto& [type, counts] : watcher.typeCounts) {
        sample(text, "kelvora_watch_files_failed_total", "type=\"" + type + "\"", static_cast<double>(counts.failed));
    }
    describe(text, "kelvora_watch_files_held_total", "counter",
             "Files the deletion guard held (they would have deleted too many rows), filed in failed/, since the "
             "watcher started.");
    for (const auto& [type, counts] : watcher.typeCounts) {
        sample(text, "kelvora_watch_files_held_total", "type=\"" + type + "\"", static_cast<double>(counts.held));
    }
    describe(text, "kelvora_watch_last_whole_import_timestamp_seconds", "gauge",
             "When the last file of the type code was imported whole (Unix time).");
    for (const auto& [type, counts] : watcher.typeCounts) {
        if (counts.lastWhole > 0) {
            sample(text, "kelvora_watch_last_whole_import_timestamp_seconds", "type=\"" + type + "\"",
                   static_cast<double>(counts.lastWhole));
        }
    }
}

// A file whose section asks for a marker that is not in the drop folder,
// unchanged for longer than the section's marker-wait: the sender forgot
// the marker, or it went elsewhere. Each such file holds back its type code.
bool waitsPastMarkerWait(const Watcher& watcher, const std::string& name, double age) {
    const FileRule* rule = ruleFor(watcher.config, name.c_str());
    if (rule == nullptr || rule->marker.empty() || age <= rule->markerWait) return false;
    return watcher.queue.files.count(markerNameOf(*rule, name)) == 0;
}

// What waits in the drop folder.
void dropMetrics(const Watcher& watcher, double now, std::string& text) {
    long waiting = 0;
    long unmatched = 0;
    long overdue = 0;
    double oldest = 0;
    for (const auto& [name, file] : watcher.queue.files) {
        const EntrySection entry = sectionOfEntry(watcher, name, file);
        if (entry.marker) continue;
        if (entry.rule == nullptr) unmatched++;
        waiting++;
        const double age = secondsUnchanged(file, now, SettleClock::FileTimes);
        if (age > oldest) oldest = age;
        if (waitsPastMarkerWait(watcher, name, age)) overdue++;
    }
    describe(text, "kelvora_watch_drop_files_waiting", "gauge", "Files in the drop folder not yet taken.");
    sample(text, "kelvora_watch_drop_files_waiting", "", static_cast<double>(waiting));
    describe(text, "kelvora_watch_drop_oldest_file_age_seconds", "gauge",
             "Seconds since the oldest waiting file last changed.");
    sample(text, "kelvora_watch_drop_oldest_file_age_seconds", "", oldest);
    describe(text, "kelvora_watch_files_unmatched", "gauge", "Files in the drop folder that match no section.");
    sample(text, "kelvora_watch_files_unmatched", "", static_cast<double>(unmatched));
    describe(text, "kelvora_watch_files_marker_overdue", "gauge",
             "Files in the drop folder that have waited for their marker longer than their section's marker-wait.");
    sample(text, "kelvora_watch_files_marker_overdue", "", static_cast<double>(overdue));
    describe(text, "kelvora_watch_outage", "gauge", "1 while the database is away.");
    sample(text, "kelvora_watch_outage", "", watcher.outageSince >= 0 ? 1 : 0);
}

// The failed runs of the last day that still need a person: those a person
// marked as seen, or put back, or that are older than a day, are dropped
// from the list (as status counts them).
long unseenFailures(Watcher& watcher) {
    const time_t now = wallClockNow();
    std::vector<UnseenFailure> still;
    for (const UnseenFailure& run : watcher.unseenFailed) {
        const bool seen = access(pathIn(run.folder, AcknowledgedName).c_str(), F_OK) == 0 ||
                          access(pathIn(run.folder, RequeuedName).c_str(), F_OK) == 0;
        if (!seen && now - run.taken <= FailureNeedsAPersonSeconds && access(run.folder.c_str(), F_OK) == 0) still.push_back(run);
    }
    watcher.unseenFailed.swap(still);
    return static_cast<long>(watcher.unseenFailed.size());
}

// What cannot go on by itself: files the watcher cannot take, a journal it
// cannot ask, failed runs nobody has seen, and the runs in the staging
// area by what each does or waits for.
void troubleMetrics(Watcher& watcher, std::string& text) {
    describe(text, "kelvora_watch_failed_unseen", "gauge",
             "Runs filed in failed/ in the last 24 hours that nobody marked as seen (ack) or put back (requeue); "
             "each needs a person.");
    sample(text, "kelvora_watch_failed_unseen", "", static_cast<double>(unseenFailures(watcher)));
    long untaken = 0;
    for (const auto& entry : watcher.queue.files) untaken += entry.second.takeFailed ? 1 : 0;
    describe(text, "kelvora_watch_files_untaken", "gauge",
             "Files in the drop folder the watcher cannot take (it cannot read them, say); each needs a person.");
    sample(text, "kelvora_watch_files_untaken", "", static_cast<double>(untaken));
    describe(text, "kelvora_watch_journal_away", "gauge",
             "1 while the journal cannot be asked: the files that need it wait.");
    sample(text, "kelvora_watch_journal_away", "", watcher.journalAwaySince >= 0 ? 1 : 0);
    std::map<std::string, long> runs;
    for (const char* word : DoingWords) runs[word] = 0;
    for (const Job& job : watcher.jobs) runs[doingWord(job)]++;
    describe(text, "kelvora_watch_runs", "gauge", "Files in the staging area, by what each does or waits for.");
    for (const auto& [word, count] : runs) {
        sample(text, "kelvora_watch_runs", "doing=\"" + word + "\"", static_cast<double>(count));
    }
}

}  // namespace

void readLastImports(Watcher& watcher) {
    std::map<std::string, LastImport> noted;
    readLastImportNotes(watcher.stagingFd.get(), noted);
    for (const auto& [type, note] : noted) {
        if (!note.wholeStamp.empty()) watcher.typeCounts[type].lastWhole = stampTime(note.wholeStamp);
    }
    for (const FiledRun& run : filedRuns(watcher.config.archive)) {
        TypeCounts& counts = watcher.typeCounts[run.typeCode];
        if (run.archived && run.taken > counts.lastWhole) counts.lastWhole = run.taken;
    }
    for (const FiledRun& run : filedRuns(watcher.config.failed)) {
        if (!run.archived && !run.requeued && !run.acknowledged) watcher.unseenFailed.push_back({run.folder, run.taken});
    }
}

void writeMetrics(Watcher& watcher, double now) {
    if (watcher.config.metrics.empty()) return;
    // Every configured type code's counters are there from the start, at 0:
    // a rate over a counter sees no rise in the sample that first shows it,
    // so a first failure of a type code would otherwise raise no alert.
    for (const FileRule& rule : watcher.config.rules) watcher.typeCounts.try_emplace(rule.typeCode);
    std::string text;
    typeMetrics(watcher, text);
    dropMetrics(watcher, now, text);
    troubleMetrics(watcher, text);
    const std::string& path = watcher.config.metrics;
    const size_t slash = path.rfind('/');
    UniqueFd folder(openFolder(AT_FDCWD, path.substr(0, slash == 0 ? 1 : slash)));
    const std::string name = path.substr(slash + 1);
    const bool written = folder.valid() && writeFileQuickly(folder.get(), name, text) &&
                         fchmodat(folder.get(), name.c_str(), MetricsMode, 0) == 0;
    const int error = errno;
    if (!written && error != watcher.metricsError)
        diagnoseAt(Severity::Warning, "cannot write the metrics %s: %s", path.c_str(), strerror(error));
    watcher.metricsError = written ? 0 : error;
}
