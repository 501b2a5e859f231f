#include "watch/workview.h"

#include <cmath>
#include <unistd.h>

#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/journal.h"
#include "watch/names.h"

namespace {

using Json = nlohmann::json;

constexpr size_t MaxViewBytes = 4 * 1024 * 1024;

// What a job waits for, in words, beside its word (status adds when its
// next try is due).
std::string waitText(const Watcher& watcher, const Job& job) {
    switch (job.phase) {
    case Phase::Taking: return "being copied into the staging area";
    case Phase::Checking: return "its checks";
    case Phase::JournalWait:
        if (job.ask != nullptr && !job.ask->over) return "the journal's answer";
        return "the journal, which cannot be asked (" + journalTrouble(*job.ask) + ")" +
               (watcher.once ? "; the next run asks again" : "");
    case Phase::StartWait: return job.dueAt >= 0 ? "another try to start its importer" : "its turn to be imported";
    case Phase::Running: return "its import";
    case Phase::RetryWait: return "its retry after an aborted transaction";
    case Phase::FilingWait: return "to be filed (it could not be yet)";
    case Phase::Locked: return "the process that holds its run folder";
    case Phase::Resume: return "its turn to go on (a watcher ended while it was in work)";
    case Phase::OutageWait: return std::string("the database, which is away") + (watcher.once ? "; the next run tries again" : "");
    }
    return "";
}

// A monotonic time of the watcher on the boot clock, in whole seconds, so
// that the view does not change while nothing happens.
long long onBootClock(double at, double now, double boot) {
    return llround(boot + (at - now));
}

Json jobJson(const Watcher& watcher, const Job& job, double now, double boot) {
    Json entry = {{"file", shownName(job.record.name)}, {"type", job.record.rule.typeCode},
                  {"folder", job.folder}, {"doing", doingWord(job)}, {"waits_for", waitText(watcher, job)}};
    if (job.phase == Phase::Running && job.pid > 0) {
        entry["pid"] = job.pid;
        entry["started_boot_seconds"] = onBootClock(job.started, now, boot);
    }
    if (job.phase != Phase::Running && job.dueAt >= 0) entry["due_boot_seconds"] = onBootClock(job.dueAt, now, boot);
    return entry;
}

// The view as text: the jobs, the entries that cannot be taken, the journal.
std::string viewText(const Watcher& watcher, double now) {
    const double boot = bootClockNow();
    Json view = {{"pid", getpid()}, {"jobs", Json::array()}, {"untaken", Json::array()}};
    for (const Job& job : watcher.jobs) view["jobs"].push_back(jobJson(watcher, job, now, boot));
    for (const auto& [name, file] : watcher.queue.files) {
        if (file.takeFailed) view["untaken"].push_back({{"file", shownName(name)}, {"reason", file.failure}});
    }
    view["journal_away"] = watcher.journalAwaySince >= 0 ? Json(watcher.journalAwayCause) : Json();
    return view.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

const char* doingWord(const Job& job) {
    return DoingWords[static_cast<int>(job.phase)];
}

void writeWorkView(Watcher& watcher, double now) {
    std::string text = viewText(watcher, now);
    if (text == watcher.workView) return;
    if (writeFileQuickly(watcher.stagingFd.get(), WorkViewName, text)) watcher.workView = std::move(text);
}

void removeWorkView(Watcher& watcher) {
    unlinkat(watcher.stagingFd.get(), WorkViewName, 0);
    watcher.workView.clear();
}

bool readWorkView(int staging, Json& view) {
    std::string text;
    if (!readSmallFile(staging, WorkViewName, MaxViewBytes, text)) return false;
    view = Json::parse(text, nullptr, false);
    return view.is_object() && view["jobs"].is_array() && view["untaken"].is_array();
}
