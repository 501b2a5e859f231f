#include "watch/status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/folder.h"
#include "watch/history.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/options.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/scan.h"
#include "watch/watcher.h"

namespace {

using Json = nlohmann::json;

constexpr long SecondsPerDay = 86400;
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

// The type codes that have a run in work (in the staging area).
std::map<std::string, std::string> runsInWork(const WatchConfig& config) {
    std::map<std::string, std::string> runs;
    const UniqueFd staging(openFolder(AT_FDCWD, pathIn(config.workdir, StagingFolderName)));
    if (!staging.valid()) return runs;
    for (const RunFolderEntry& run : listRunFolders(staging.get())) {
        const RunRecord& record = run.record;
        if (run.recorded && record.drop == config.drop) {
            runs[record.rule.typeCode] = shownName(record.name) + " (" + stepName(record.step) + ")";
        }
    }
    return runs;
}

// Seconds since the entry last changed (modification or status change).
double ageOf(const struct stat& info, time_t now) {
    return static_cast<double>(now - std::max(info.st_mtim.tv_sec, info.st_ctim.tv_sec));
}

// What the look at the drop folder knows of it as a whole.
struct DropView {
    const WatchConfig& config;
    time_t now;
    const std::vector<std::string>& names;                  // every entry
    const std::map<std::string, std::string>& inWork;       // by type code: the run in work
    std::map<std::string, std::string> firstOfType;         // by type code: the first file whose turn it is
};

// What one drop entry waits for.
Entry lookAt(DropView& view, const std::string& name, const struct stat& info) {
    const WatchConfig& config = view.config;
    const time_t now = view.now;
    const std::vector<std::string>& names = view.names;
    const std::map<std::string, std::string>& inWork = view.inWork;
    std::map<std::string, std::string>& firstOfType = view.firstOfType;
    Entry entry{shownName(name), "", false};
    const FileRule* rule = ruleFor(config, name.c_str());
    if (!S_ISREG(info.st_mode)) {
        entry.waitsFor = "nothing: it is not a regular file and is never taken";
    } else if (isMarkerName(config, name)) {
        entry.waitsFor = "its file (it is a marker)";
    } else if (rule == nullptr) {
        entry.waitsFor = "a [file] section that matches its name";
        entry.needsAPerson = true;
    } else if (!rule->marker.empty() &&
               std::find(names.begin(), names.end(), markerNameOf(*rule, name)) == names.end()) {
        entry.waitsFor = "its marker " + shownName(markerNameOf(*rule, name));
        entry.needsAPerson = ageOf(info, now) > rule->markerWait;
    } else if (ageOf(info, now) < config.settleSeconds) {
        entry.waitsFor = "settling";
    } else if (inWork.count(rule->typeCode) != 0) {
        entry.waitsFor = "the run of " + inWork.at(rule->typeCode) + " before it (type " + rule->typeCode + ")";
    } else if (firstOfType.count(rule->typeCode) != 0) {
        entry.waitsFor = "queued behind " + firstOfType[rule->typeCode] + " (type " + rule->typeCode + ")";
    } else {
        entry.waitsFor = "its turn (type " + rule->typeCode + ")";
        firstOfType[rule->typeCode] = entry.name;
    }
    return entry;
}

// The drop folder's entries, oldest first, and what each waits for.
std::vector<Entry> dropEntries(const WatchConfig& config, time_t now) {
    UniqueFd drop(openFolder(AT_FDCWD, config.drop));
    std::vector<std::string> names;
    if (drop.valid()) listFolder(drop.get(), names);
    std::vector<std::pair<time_t, std::string>> dated;
    std::map<std::string, struct stat> facts;
    for (const std::string& name : names) {
        struct stat info;
        if (isTransferName(name.c_str()) || fstatat(drop.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        facts[name] = info;
        dated.emplace_back(info.st_mtim.tv_sec, name);
    }
    drop.reset();
    std::sort(dated.begin(), dated.end());
    const std::map<std::string, std::string> inWork = runsInWork(config);
    DropView view{config, now, names, inWork, {}};
    std::vector<Entry> entries;
    for (const auto& item : dated) entries.push_back(lookAt(view, item.second, facts[item.second]));
    return entries;
}


Json runJson(const FiledRun& run) {
    return {{"folder", run.folder}, {"file", run.name}, {"type", run.typeCode}, {"taken", utcText(run.taken)},
            {"outcome", run.outcome}, {"archived", run.archived}, {"held", run.held}, {"lines", run.lines},
            {"written", run.written},
            {"failed", run.failed}, {"reason", run.reason}};
}

// The whole status as JSON: the text form is printed from it too.
Json statusOf(const WatchConfig& config, time_t now, bool& needsAPerson) {
    Json status;
    const std::string holder = lockHolder(config);
    status["watcher"] = holder.empty() ? Json() : Json(holder);
    std::string outage;
    const UniqueFd staging(openFolder(AT_FDCWD, pathIn(config.workdir, StagingFolderName)));
    if (staging.valid() && readSmallFile(staging.get(), OutageFileName, OutageRoom, outage)) {
        outage = outage.substr(0, outage.find('\n'));
    }
    status["outage"] = outage.empty() ? Json() : Json(outage);
    status["drop"] = Json::array();
    for (const Entry& entry : dropEntries(config, now)) {
        status["drop"].push_back({{"file", entry.name}, {"waits_for", entry.waitsFor},
                                  {"needs_a_person", entry.needsAPerson}});
        needsAPerson = needsAPerson || entry.needsAPerson;
    }
    std::map<std::string, FiledRun> last;
    status["failed_last_24_hours"] = Json::array();
    for (const std::string* base : {&config.archive, &config.failed}) {
        for (const FiledRun& run : filedRuns(*base)) {
            if (last.count(run.typeCode) == 0 || run.taken > last[run.typeCode].taken) last[run.typeCode] = run;
            if (!run.archived && now - run.taken <= SecondsPerDay) {
                status["failed_last_24_hours"].push_back(runJson(run));
                needsAPerson = true;
            }
        }
    }
    // A held file waits for a person's decision for as long as no later run
    // of its type code has come, however long ago it was held.
    status["last_run"] = Json::object();
    for (const auto& [type, run] : last) {
        status["last_run"][type] = runJson(run);
        needsAPerson = needsAPerson || run.held;
    }
    status["needs_a_person"] = needsAPerson;
    return status;
}

void printText(const Json& status) {
    printf("watcher: %s\n", status["watcher"].is_null() ? "none holds the drop folder"
                                                         : status["watcher"].get<std::string>().c_str());
    if (!status["outage"].is_null()) printf("the database is away since %s\n", status["outage"].get<std::string>().c_str());
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
        printf("  %s %s: %s\n", run["type"].get<std::string>().c_str(), run["folder"].get<std::string>().c_str(),
               run["reason"].get<std::string>().c_str());
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
