#include "watch/scan.h"

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/hex.h"
#include "common/strutil.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/names.h"

namespace {

constexpr uint32_t WatchedEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t WritingEvents = IN_CREATE | IN_MODIFY;
constexpr uint32_t GoneEvents = IN_DELETE | IN_MOVED_FROM;
constexpr const char* TransferSuffixes[] = {".tmp", ".part", ".filepart"};
constexpr size_t EventBufferSize = 64 * 1024;
constexpr size_t MaxNamedEntries = 10000;   // beyond this, entries are named again after a restart
constexpr size_t MaxNamedBytes = 4 * 1024 * 1024;

// Writes the names named as never taken, for the next watcher: a line per
// entry, its name in hexadecimal and its inode.
void saveNamed(const DropQueue& queue) {
    if (queue.namedPath.empty()) return;
    std::string text;
    for (const auto& [name, inode] : queue.named) {
        text += hexOf(name) + " " + std::to_string(static_cast<unsigned long long>(inode)) + "\n";
    }
    const size_t slash = queue.namedPath.rfind('/');
    UniqueFd folder(openFolder(AT_FDCWD, queue.namedPath.substr(0, slash)));
    if (folder.valid()) writeFileDurably(folder.get(), queue.namedPath.substr(slash + 1), text);
}

// One line of the names' file into named; false when it is not one.
bool takeNamedLine(std::string_view line, std::map<std::string, ino_t>& named) {
    const size_t blank = line.find(' ');
    std::string name;
    long inode = 0;
    if (blank == std::string_view::npos || !bytesOfHex(line.substr(0, blank), name) || name.empty() ||
        !parseWholeNumber(line.substr(blank + 1), 0, LONG_MAX, inode)) {
        return false;
    }
    named[name] = static_cast<ino_t>(inode);
    return true;
}

// Notes the entry's facts (info, as lstat gives them; nullptr when it is
// gone): a change of size or modification time restarts its settling.
// False when it is gone or is not a regular file (which is named once).
bool noteState(DropQueue& queue, const std::string& name, const struct stat* info, DropFile& file, double now) {
    if (info == nullptr) return false;
    if (!S_ISREG(info->st_mode)) {
        // Named once while it stays: the names' file keeps only so many
        // entries, and one beyond them would be named at every rescan.
        const bool known = queue.notFiles.count(name) != 0;
        if (!known && firstSight(queue, name, info->st_ino)) noteNotAFile(queue, name, entryKind(info->st_mode));
        queue.files.erase(name);
        queue.notFiles[name] = {entryKind(info->st_mode), queue.rescans};
        return false;
    }
    queue.notFiles.erase(name);
    file.inode = info->st_ino;
    const bool changed = info->st_size != file.size || info->st_mtim.tv_sec != file.modified.tv_sec ||
                         info->st_mtim.tv_nsec != file.modified.tv_nsec;
    file.statusChanged = info->st_ctim;
    file.links = info->st_nlink;
    file.seenIn = queue.rescans;
    if (changed) {
        file.size = info->st_size;
        file.modified = info->st_mtim;
        file.stableSince = now;
        file.held = false;
        file.takeFailed = false;
    }
    return true;
}

// The entry's facts, not following a link; nullptr when it is gone.
const struct stat* factsOf(int folder, const char* name, struct stat& info) {
    return fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 ? &info : nullptr;
}

// After a rescan: what it did not find is gone, and the names named as
// never taken are kept only for entries still there.
void forgetWhatWentAway(DropQueue& queue) {
    for (auto it = queue.files.begin(); it != queue.files.end();) {
        it = it->second.seenIn == queue.rescans ? std::next(it) : queue.files.erase(it);
    }
    for (auto it = queue.notFiles.begin(); it != queue.notFiles.end();) {
        it = it->second.seenIn == queue.rescans ? std::next(it) : queue.notFiles.erase(it);
    }
    for (auto it = queue.named.begin(); it != queue.named.end();) {
        const bool there = queue.files.count(it->first) != 0 || queue.notFiles.count(it->first) != 0;
        queue.namedChanged = queue.namedChanged || !there;
        it = there ? std::next(it) : queue.named.erase(it);
    }
}

void handleEvent(DropQueue& queue, const inotify_event& event, double now) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        queue.overflowed = true;
        return;
    }
    if (event.len == 0 || isTransferName(event.name)) return;
    const std::string name = event.name;
    if ((event.mask & GoneEvents) != 0) {
        queue.files.erase(name);
        queue.notFiles.erase(name);   // named again should it come back
        return;
    }
    DropFile& file = queue.files[name];
    file.open = (event.mask & WritingEvents) != 0;
    file.stableSince = now;
    struct stat info;
    if (!noteState(queue, name, factsOf(AT_FDCWD, (queue.folder + "/" + name).c_str(), info), file, now)) {
        queue.files.erase(name);
        return;
    }
    // A hard link (ln) brings a file that is whole already: it arrives with
    // IN_CREATE alone and is never closed after writing here.
    if ((event.mask & IN_CREATE) != 0 && file.links > 1) file.open = false;
}

}  // namespace

bool isTransferName(const char* name) {
    if (name[0] == '.') return true;
    for (const char* suffix : TransferSuffixes) {
        if (endsWith(name, suffix)) return true;
    }
    return false;
}

bool watchFolder(DropQueue& queue, const std::string& folder) {
    queue.folder = folder;
    queue.inotifyFd.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!queue.inotifyFd.valid()) return false;
    return inotify_add_watch(queue.inotifyFd.get(), folder.c_str(), WatchedEvents | IN_ONLYDIR) >= 0;
}

void readEvents(DropQueue& queue, double now) {
    alignas(inotify_event) static char buffer[EventBufferSize];
    for (;;) {
        ssize_t got = read(queue.inotifyFd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            handleEvent(queue, *event, now);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void rescanFolder(DropQueue& queue, double now) {
    // Lost events may have held a close: from here on the settle time alone
    // decides for the files inotify saw opened.
    if (queue.overflowed) {
        for (auto& entry : queue.files) entry.second.open = false;
    }
    for (auto& entry : queue.files) {
        if (entry.second.takeFailed) entry.second.held = false;
    }
    queue.overflowed = false;
    UniqueFd folder(openFolder(AT_FDCWD, queue.folder));
    UniqueDir dir(folder.valid() ? fdopendir(folder.get()) : nullptr);
    if (!dir.valid()) return;
    folder.release();   // the stream owns it now
    queue.rescans++;
    while (const dirent* entry = readdir(dir.get())) {
        if (isTransferName(entry->d_name)) continue;
        const std::string name = entry->d_name;
        auto known = queue.files.find(name);
        DropFile fresh;
        DropFile& file = known != queue.files.end() ? known->second : fresh;
        struct stat info;
        if (!noteState(queue, name, factsOf(dirfd(dir.get()), entry->d_name, info), file, now)) continue;
        if (known == queue.files.end()) queue.files.emplace(name, fresh);
    }
    dir.reset();
    forgetWhatWentAway(queue);
    saveNamedIfChanged(queue);
}

void saveNamedIfChanged(DropQueue& queue) {
    if (!queue.namedChanged) return;
    saveNamed(queue);
    queue.namedChanged = false;
}

bool firstSight(DropQueue& queue, const std::string& name, ino_t inode) {
    auto known = queue.named.find(name);
    if (known != queue.named.end() && known->second == inode) return false;
    if (queue.named.size() < MaxNamedEntries) {
        queue.named[name] = inode;
        queue.namedChanged = true;
    }
    return true;
}

// A line that is no entry (a file cut short, written by hand) is dropped,
// with a word: the entry is at worst named once more.
void loadNamed(DropQueue& queue, const std::string& path) {
    queue.namedPath = path;
    const size_t slash = path.rfind('/');
    UniqueFd folder(openFolder(AT_FDCWD, path.substr(0, slash)));
    std::string text;
    if (!folder.valid() || !readSmallFile(folder.get(), path.substr(slash + 1), MaxNamedBytes, text)) return;
    long dropped = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        if (!line.empty() && !takeNamedLine(line, queue.named)) dropped++;
        at = end + 1;
    }
    if (dropped > 0) diagnose("%s: %ld lines that name no entry were dropped", path.c_str(), dropped);
}

void noteNotAFile(DropQueue& queue, const std::string& name, const std::string& kind) {
    queue.files.erase(name);
    queue.notFiles[name] = {kind, queue.rescans};
    diagnoseAt(Severity::Warning, "%s in %s is %s, not a regular file: it is not taken", shownName(name).c_str(), queue.folder.c_str(),
             kind.c_str());
}

double secondsUnchanged(const DropFile& file, double now, SettleClock clock) {
    if (clock == SettleClock::Watched) return now - file.stableSince;
    return secondsSinceWritten(file.modified, file.statusChanged);
}

std::vector<std::string> completeFiles(const DropQueue& queue, double now, int settle, SettleClock clock) {
    std::vector<std::pair<const std::string*, const DropFile*>> complete;
    for (const auto& [name, file] : queue.files) {
        if (file.open || file.held) continue;
        if (secondsUnchanged(file, now, clock) >= settle) complete.emplace_back(&name, &file);
    }
    std::sort(complete.begin(), complete.end(), [](const auto& a, const auto& b) {
        const long long ta = nanosecondsOf(a.second->modified);
        const long long tb = nanosecondsOf(b.second->modified);
        return ta != tb ? ta < tb : *a.first < *b.first;
    });
    std::vector<std::string> names;
    for (const auto& entry : complete) names.push_back(*entry.first);
    return names;
}

double nextCompletion(const DropQueue& queue, int settle, double now) {
    double next = -1;
    for (const auto& entry : queue.files) {
        const DropFile& file = entry.second;
        if (file.open || file.held) continue;
        const double at = file.stableSince + settle;
        if (at <= now) continue;   // complete already: what it waits for now wakes the loop
        if (next < 0 || at < next) next = at;
    }
    return next;
}

void forgetFile(DropQueue& queue, const std::string& name) {
    queue.files.erase(name);
}
