#include "watch/status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/standby.h"
#include "watch/folder.h"
#include "watch/history.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/options.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/scan.h"
#include "watch/watcher.h"
#include "watch/workview.h"

namespace {

using Json = nlohmann::json;

constexpr int NeedsAPerson = 1;
constexpr int UsageFault = 2;
constexpr size_t HolderRoom = 256;
constexpr size_t OutageRoom = 64 * 1024;
constexpr const char* CommandWord = "status";
constexpr const char* JsonOption = "--json";

struct Entry {
    std::string name;     // as shown
    std::string waitsFor;
    bool needsAPerson = false;
};

// Who holds the drop folder's lock: its own words, or empty when no one.
std::string lockHolder(const WatchConfig& config) {
    const UniqueFd opened(open((config.drop + "/" + LockFileName).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int fd = opened.get();
    if (!opened.valid()) return "";
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    std::string holder;
    if (fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
        char text[HolderRoom] = "";
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        holder = got > 0 ? std::string(text, static_cast<size_t>(got)) : "pid " + std::to_string(lock.l_pid);
        holder = holder.substr(0, holder.find('\n'));
    }
    return holder;
}

// A run of the staging area, as status shows it.
struct InWork {
    std::string name;   // as delivered
    std::string text;   // as shown: its name and step
};

// The runs in work (in the staging area) by type code: the first of each.
std::map<std::string, InWork> runsInWork(const WatchConfig& config) {
    std::map<std::string, InWork> runs;
    const UniqueFd staging(openFolder(AT_FDCWD, pathIn(config.workdir, StagingFolderName)));
    if (!staging.valid()) return runs;
    for (const RunFolderEntry& run : listRunFolders(staging.get())) {
        const RunRecord& record = run.record;
        if (run.recorded && record.drop == config.drop && runs.count(record.rule.typeCode) == 0) {
            runs[record.rule.typeCode] = {record.name, shownName(record.name) + " (" + stepName(record.step) + ")"};
        }
    }
    return runs;
}

// The runs of the staging area as the view of a watcher that holds the
// drop folder tells them: what each does or waits for, an import's pid and
// how long it has run, when the next try is due.
Json jobsOfView(const Json& view) {
    const double boot = bootClockNow();
    Json jobs = Json::array();
    for (Json job : view["jobs"]) {
        if (job.contains("started_boot_seconds")) {
            job["running_seconds"] = std::max(0.0, boot - job["started_boot_seconds"].get<double>());
        }
        if (job.contains("due_boot_seconds")) {
            job["next_try_seconds"] = std::max(0.0, job["due_boot_seconds"].get<double>() - boot);
        }
        job.erase("started_boot_seconds");
        job.erase("due_boot_seconds");
        jobs.push_back(job);
    }
    return jobs;
}

// Without a watcher, the runs of the staging area wait for its next start.
Json jobsOfRecords(const WatchConfig& config) {
    Json jobs = Json::array();
    const UniqueFd staging(openFolder(AT_FDCWD, pathIn(config.workdir, StagingFolderName)));
    if (!staging.valid()) return jobs;
    for (const RunFolderEntry& run : listRunFolders(staging.get())) {
        if (!run.recorded || run.record.drop != config.drop) continue;
        jobs.push_back({{"file", shownName(run.record.name)}, {"type", run.record.rule.typeCode},
                        {"folder", pathIn(pathIn(config.workdir, StagingFolderName), run.name)},
                        {"doing", stepName(run.record.step)},
                        {"waits_for", "the next start of the watcher, which goes on with it from the step \"" +
                                          std::string(stepName(run.record.step)) + "\""}});
    }
    return jobs;
}

// Seconds since the entry last changed (modification or status change).
double ageOf(const struct stat& info) {
    return secondsSinceWritten(info.st_mtim, info.st_ctim);
}

// What the look at the drop folder knows of it as a whole.
struct DropView {
    const WatchConfig& config;
    const std::set<std::string>& names;                     // every entry
    const std::map<std::string, InWork>& inWork;            // by type code: the run in work
    const std::map<std::string, std::string>& untaken;      // entries the watcher cannot take, and why
    std::map<std::string, std::string> firstOfType;         // by type code: the first file that waits
};

// A file of a section, ready to be taken: what holds it back.
void waitsInTurn(DropView& view, const std::string& name, const FileRule& rule, Entry& entry) {
    const auto run = view.inWork.find(rule.typeCode);
    if (run != view.inWork.end() && run->second.name == name) {
        entry.waitsFor = "being taken into the staging area (type " + rule.typeCode + ")";
    } else if (run != view.inWork.end()) {
        entry.waitsFor = "the run of " + run->second.text + " before it (type " + rule.typeCode + ")";
    } else if (view.firstOfType.count(rule.typeCode) != 0) {
        entry.waitsFor = "queued behind " + view.firstOfType[rule.typeCode] + " (type " + rule.typeCode + ")";
    } else {
        entry.waitsFor = "its turn (type " + rule.typeCode + ")";
    }
}

// What one drop entry waits for. The files of a type code are looked at
// oldest first; the first that waits holds back those after it.
Entry lookAt(DropView& view, const std::string& name, const struct stat& info) {
    const WatchConfig& config = view.config;
    Entry entry{shownName(name), "", false};
    const FileRule* rule = ruleFor(config, name.c_str());
    const auto untaken = view.untaken.find(entry.name);
    if (!S_ISREG(info.st_mode)) {
        entry.waitsFor = "nothing: it is not a regular file and is never taken";
    } else if (isMarkerName(config, name)) {
        entry.waitsFor = "its file (it is a marker)";
    } else if (rule == nullptr) {
        entry.waitsFor = "a [file] section that matches its name";
        entry.needsAPerson = true;
    } else if (untaken != view.untaken.end()) {
        entry.waitsFor = "a person: the watcher cannot take it (" + untaken->second + "); give the watcher's user "
                         "read access to it (the senders' group, mode 0640), and it is taken at the next rescan";
        entry.needsAPerson = true;
    } else if (!rule->marker.empty() &&
               view.names.count(markerNameOf(*rule, name)) == 0) {
        entry.waitsFor = "its marker " + shownName(markerNameOf(*rule, name));
        entry.needsAPerson = ageOf(info) > rule->markerWait;
    } else if (ageOf(info) < config.settleSeconds) {
        entry.waitsFor = "settling";
    } else {
        waitsInTurn(view, name, *rule, entry);
    }
    if (rule != nullptr && view.firstOfType.count(rule->typeCode) == 0) view.firstOfType[rule->typeCode] = entry.name;
    return entry;
}

// The drop folder's entries, oldest first (modification time, then name),
// and what each waits for.
std::vector<Entry> dropEntries(const WatchConfig& config, const std::map<std::string, InWork>& inWork,
                               const std::map<std::string, std::string>& untaken) {
    UniqueFd drop(openFolder(AT_FDCWD, config.drop));
    std::vector<std::string> names;
    if (drop.valid()) listFolder(drop.get(), names);
    std::vector<std::pair<long long, std::string>> dated;
    std::map<std::string, struct stat> facts;
    for (const std::string& name : names) {
        struct stat info;
        if (isTransferName(name.c_str()) || fstatat(drop.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        facts[name] = info;
        dated.emplace_back(nanosecondsOf(info.st_mtim), name);
    }
    drop.reset();
    std::sort(dated.begin(), dated.end());
    const std::set<std::string> everyName(names.begin(), names.end());
    DropView view{config, everyName, inWork, untaken, {}};
    std::vector<Entry> entries;
    for (const auto& item : dated) entries.push_back(lookAt(view, item.second, facts[item.second]));
    return entries;
}

Json runJson(const FiledRun& run) {
    return {{"folder", run.folder}, {"file", run.name}, {"type", run.typeCode}, {"taken", utcText(run.taken)},
            {"outcome", run.outcome}, {"archived", run.archived}, {"held", run.held}, {"lines", run.lines},
            {"written", run.written},
            {"failed", run.failed}, {"reason", run.reason}, {"requeued", run.requeued},
            {"acknowledged", run.acknowledged}};
}

// What the watcher that holds the drop folder says of its work: the runs
// in the staging area, the entries it cannot take, the journal. Without a
// watcher, the run records tell.
struct WatcherWork {
    Json jobs = Json::array();
    std::map<std::string, std::string> untaken;   // by name as shown: why
    Json journalAway;                             // why the journal cannot be asked, or null
};

WatcherWork workOf(const WatchConfig& config, int staging, bool watched) {
    WatcherWork work;
    Json view;
    if (!watched || staging < 0 || !readWorkView(staging, view)) {
        work.jobs = jobsOfRecords(config);
        return work;
    }
    work.jobs = jobsOfView(view);
    for (const Json& entry : view["untaken"]) {
        if (entry["file"].is_string() && entry["reason"].is_string()) work.untaken[entry["file"]] = entry["reason"];
    }
    if (view["journal_away"].is_string()) work.journalAway = view["journal_away"];
    return work;
}

// The filed runs: the last of each type code, and the failures of the last
// day that no requeue has taken up yet.
void filedPart(const WatchConfig& config, time_t now, Json& status, bool& needsAPerson) {
    std::map<std::string, FiledRun> last;
    status["failed_last_24_hours"] = Json::array();
    for (const std::string* base : {&config.archive, &config.failed}) {
        for (const FiledRun& run : filedRuns(*base)) {
            if (last.count(run.typeCode) == 0 || cameAfter(last[run.typeCode], run)) last[run.typeCode] = run;
            if (!run.archived && now - run.taken <= FailureNeedsAPersonSeconds) {
                status["failed_last_24_hours"].push_back(runJson(run));
                needsAPerson = needsAPerson || !(run.requeued || run.acknowledged);
            }
        }
    }
    // A held file waits for a person's decision for as long as no later run
    // of its type code has come, however long ago it was held.
    status["last_run"] = Json::object();
    for (const auto& [type, run] : last) {
        status["last_run"][type] = runJson(run);
        needsAPerson = needsAPerson || (run.held && !(run.requeued || run.acknowledged));
    }
}

// The whole status as JSON: the text form is printed from it too.
Json statusOf(const WatchConfig& config, time_t now, bool& needsAPerson) {
    Json status;
    const std::string holder = lockHolder(config);
    status["watcher"] = holder.empty() ? Json() : Json(holder);
    status["standby"] = standingBy(pathIn(config.workdir, StagingFolderName));
    std::string outage;
    const UniqueFd staging(openFolder(AT_FDCWD, pathIn(config.workdir, StagingFolderName)));
    if (staging.valid() && readSmallFile(staging.get(), OutageFileName, OutageRoom, outage)) {
        outage = outage.substr(0, outage.find('\n'));
    }
    status["outage"] = outage.empty() ? Json() : Json(outage);
    const WatcherWork work = workOf(config, staging.get(), !holder.empty());
    status["journal_away"] = work.journalAway;
    needsAPerson = needsAPerson || !work.journalAway.is_null();
    status["in_work"] = work.jobs;
    status["drop"] = Json::array();
    for (const Entry& entry : dropEntries(config, runsInWork(config), work.untaken)) {
        status["drop"].push_back({{"file", entry.name}, {"waits_for", entry.waitsFor},
                                  {"needs_a_person", entry.needsAPerson}});
        needsAPerson = needsAPerson || entry.needsAPerson;
    }
    filedPart(config, now, status, needsAPerson);
    status["needs_a_person"] = needsAPerson;
    return status;
}

// One run of the staging area, as a line.
void printJob(const Json& job) {
    std::string more;
    if (job.contains("pid")) {
        more = ", pid " + std::to_string(job["pid"].get<long>()) + ", running for " +
               std::to_string(static_cast<long>(job["running_seconds"].get<double>())) + " s";
    }
    if (job.contains("next_try_seconds")) {
        more += "; next try in " + std::to_string(static_cast<long>(job["next_try_seconds"].get<double>())) + " s";
    }
    printf("  %s %s: %s%s (%s)\n", job["type"].get<std::string>().c_str(), job["file"].get<std::string>().c_str(),
           job["doing"] == "import" ? "imported" : ("waits for " + job["waits_for"].get<std::string>()).c_str(),
           more.c_str(), job["folder"].get<std::string>().c_str());
}

void printText(const Json& status) {
    printf("watcher: %s\n", status["watcher"].is_null() ? "none holds the drop folder"
                                                         : status["watcher"].get<std::string>().c_str());
    for (const Json& standby : status["standby"]) printf("standby: %s\n", standby.get<std::string>().c_str());
    if (!status["outage"].is_null()) printf("the database is away since %s\n", status["outage"].get<std::string>().c_str());
    if (!status["journal_away"].is_null()) {
        printf("! the journal cannot be asked: %s; the files that need it wait\n",
               status["journal_away"].get<std::string>().c_str());
    }
    printf("in work: %zu\n", status["in_work"].size());
    for (const Json& job : status["in_work"]) printJob(job);
    printf("drop folder: %zu entries\n", status["drop"].size());
    for (const Json& entry : status["drop"]) {
        printf("  %s%s: waits for %s\n", entry["needs_a_person"].get<bool>() ? "! " : "",
               entry["file"].get<std::string>().c_str(), entry["waits_for"].get<std::string>().c_str());
    }
    printf("last run per type code:\n");
    for (const auto& [type, run] : status["last_run"].items()) {
        char counts[128] = "no report";
        if (run["lines"].get<long>() >= 0) {
            snprintf(counts, sizeof counts, "%ld lines, %ld written, %ld failed", run["lines"].get<long>(),
                     run["written"].get<long>(), run["failed"].get<long>());
        }
        printf("  %s%s: %s, %s%s, %s: %s\n", run["held"].get<bool>() ? "! " : "", type.c_str(),
               run["taken"].get<std::string>().c_str(), run["outcome"].get<std::string>().c_str(),
               run["held"].get<bool>() ? ", held by the deletion guard" : "", counts,
               run["folder"].get<std::string>().c_str());
    }
    printf("failed in the last 24 hours: %zu\n", status["failed_last_24_hours"].size());
    for (const Json& run : status["failed_last_24_hours"]) {
        const char* seen = run["requeued"].get<bool>()       ? " (put back by requeue)"
                           : run["acknowledged"].get<bool>() ? " (seen: ack)"
                                                             : "";
        printf("  %s %s: %s%s\n", run["type"].get<std::string>().c_str(), run["folder"].get<std::string>().c_str(),
               run["reason"].get<std::string>().c_str(), seen);
    }
}

}  // namespace

bool isStatusCommand(int argc, char** argv) {
    return commandAt(argc, argv, CommandWord) > 0;
}

int runStatus(int argc, char** argv) {
    const int at = commandAt(argc, argv, CommandWord);
    const bool json = argc == at + 2 && strcmp(argv[at + 1], JsonOption) == 0;
    if (argc != at + 1 && !json) {
        fprintf(stderr, "usage: kelvora-watch [--config FILE] status [--json]\n");
        return UsageFault;
    }
    WatchConfig config;
    if (!readConfig(configOf(argc, argv), config)) return UsageFault;
    bool needsAPerson = false;
    const Json status = statusOf(config, wallClockNow(), needsAPerson);
    if (json) {
        printf("%s\n", status.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    } else {
        printText(status);
    }
    return needsAPerson ? NeedsAPerson : 0;
}
