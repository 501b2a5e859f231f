#include "watch/pair.h"

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <string_view>

#include "common/diag.h"
#include "common/fd.h"
#include "common/strutil.h"
#include "watch/folder.h"
#include "watch/markerpattern.h"
#include "watch/names.h"
#include "watch/runfolder.h"

namespace {

constexpr size_t Sha256Digits = 64;
constexpr size_t MaxMarkerBytes = 4096;

// The name without its last extension (a leading dot is no extension).
std::string stemOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// A whole number that must equal the file's count.
bool numberMatches(std::string_view value, long long actual) {
    const std::string text(value);
    char* end = nullptr;
    const long long said = strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && said == actual;
}

bool hexMatches(std::string_view value, const std::string& actual) {
    if (value.size() != Sha256Digits) return false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (c != actual[i]) return false;
    }
    return true;
}

// One line of the marker against the file.
bool lineMatches(std::string_view line, const FileDigest& file, std::string& reason) {
    const size_t equals = line.find('=');
    const std::string_view key = trimmedText(line.substr(0, equals));
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : trimmedText(line.substr(equals + 1));
    char text[256];
    bool matches = false;
    if (key == "bytes") {
        matches = numberMatches(value, file.bytes);
        snprintf(text, sizeof text, "it has %lld bytes", file.bytes);
    } else if (key == "lines") {
        matches = numberMatches(value, file.lines);
        snprintf(text, sizeof text, "it has %lld lines", file.lines);
    } else if (key == "sha256") {
        matches = hexMatches(value, file.sha256);
        snprintf(text, sizeof text, "its SHA-256 is %s", file.sha256.c_str());
    } else {
        reason = "the marker holds a line that is none of bytes=, lines=, sha256=";
        return false;
    }
    if (!matches) {
        reason = "the file does not match its marker: the marker says " + shownName(std::string(line.substr(0, 100))) +
                 ", " + text;
    }
    return matches;
}


// The longest marker-wait of the sections with a marker: how long a marker
// may wait for a file that has not come.
long longestMarkerWait(const WatchConfig& config) {
    long longest = 0;
    for (const FileRule& rule : config.rules) {
        if (!rule.marker.empty() && rule.markerWait > longest) longest = rule.markerWait;
    }
    return longest;
}

}  // namespace

std::string markerNameOf(const FileRule& rule, const std::string& name) {
    std::string_view field;
    const size_t at = markerFieldIn(rule.marker, field);
    if (at == std::string::npos) return rule.marker;
    const std::string value = field == MarkerNameField ? name : stemOf(name);
    return rule.marker.substr(0, at) + value + rule.marker.substr(at + field.size());
}

bool isMarkerName(const WatchConfig& config, const std::string& name) {
    for (const FileRule& rule : config.rules) {
        if (rule.marker.empty()) continue;
        std::string_view field;
        const size_t at = markerFieldIn(rule.marker, field);
        const std::string glob = rule.marker.substr(0, at) + "?*" + rule.marker.substr(at + field.size());
        if (fnmatch(glob.c_str(), name.c_str(), FNM_NOESCAPE | (rule.matchCase ? 0 : FNM_CASEFOLD)) == 0) return true;
    }
    return false;
}

bool fileMatchesMarker(const std::string& markerText, const FileDigest& file, std::string& reason) {
    std::string_view text = markerText;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trimmedText(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && !lineMatches(line, file, reason)) return false;
    }
    return true;
}

void noteEntrySections(Watcher& watcher) {
    for (auto& [name, file] : watcher.queue.files) {
        if (file.kindNotedFor == watcher.configNumber) continue;
        const FileRule* rule = ruleFor(watcher.config, name.c_str());
        file.section = rule == nullptr ? -1 : static_cast<int>(rule - watcher.config.rules.data());
        file.marker = isMarkerName(watcher.config, name);
        file.kindNotedFor = watcher.configNumber;
    }
}

EntrySection sectionOfEntry(const Watcher& watcher, const std::string& name, const DropFile& file) {
    if (file.kindNotedFor != watcher.configNumber) {
        return {ruleFor(watcher.config, name.c_str()), isMarkerName(watcher.config, name)};
    }
    return {file.section < 0 ? nullptr : &watcher.config.rules[static_cast<size_t>(file.section)], file.marker};
}

MarkerOwners markerOwners(const Watcher& watcher) {
    MarkerOwners owners;
    for (const auto& [name, file] : watcher.queue.files) {
        const EntrySection entry = sectionOfEntry(watcher, name, file);
        if (entry.marker || entry.rule == nullptr || entry.rule->marker.empty()) continue;
        owners[markerNameOf(*entry.rule, name)].push_back(name);
    }
    return owners;
}

bool markerReady(const FileRule& rule, const std::string& name, const std::set<std::string>& complete) {
    return rule.marker.empty() || complete.count(markerNameOf(rule, name)) != 0;
}

void nameMissingHalves(Watcher& watcher, double now, const std::set<std::string>& complete,
                       const MarkerOwners& owners) {
    for (const std::string& name : complete) {
        DropFile& file = watcher.queue.files[name];
        if (file.halfSaid) continue;
        const double waited = secondsUnchanged(file, now, settleClockOf(watcher));
        const EntrySection entry = sectionOfEntry(watcher, name, file);
        if (entry.marker) {
            if (owners.count(name) != 0 || waited < longestMarkerWait(watcher.config)) continue;
            diagnoseAt(Severity::Warning, "%s in %s is a marker whose file has not come for %.0f s", shownName(name).c_str(),
                     watcher.config.drop.c_str(), waited);
            file.halfSaid = true;
            continue;
        }
        const FileRule* rule = entry.rule;
        if (rule == nullptr || markerReady(*rule, name, complete) || waited < rule->markerWait) continue;
        diagnoseAt(Severity::Warning, "%s in %s has waited %.0f s for its marker %s", shownName(name).c_str(),
                   watcher.config.drop.c_str(), waited, shownName(markerNameOf(*rule, name)).c_str());
        file.halfSaid = true;
    }
}

bool markerShared(Watcher& watcher, const MarkerOwners& owners, const FileRule& rule, const std::string& name) {
    if (rule.marker.empty()) return false;
    const std::string marker = markerNameOf(rule, name);
    const auto found = owners.find(marker);
    if (found == owners.end()) return false;
    for (const std::string& other : found->second) {
        if (other == name) continue;
        DropFile& file = watcher.queue.files[name];
        if (!file.halfSaid) {
            diagnoseAt(Severity::Warning, "%s and %s in %s have the same marker %s: neither is taken until one of them goes",
                     shownName(name).c_str(), shownName(other).c_str(), watcher.config.drop.c_str(),
                     shownName(marker).c_str());
        }
        file.halfSaid = true;
        return true;
    }
    return false;
}

MarkerMatch matchesMarker(const Job& job, const DigestRead& delivered, std::string& reason) {
    if (job.record.rule.marker.empty()) return MarkerMatch::Matches;
    std::string text;
    UniqueFd markers(openFolder(job.runFd.get(), MarkerFolder));
    const bool read = markers.valid() && readSmallFile(markers.get(), importName(job.record.marker), MaxMarkerBytes, text);
    if (!read || !delivered.read) {
        reason = std::string("the file or its marker cannot be read: ") + strerror(read ? delivered.error : errno);
        return MarkerMatch::Unreadable;
    }
    return fileMatchesMarker(text, delivered.digest, reason) ? MarkerMatch::Matches : MarkerMatch::Differs;
}
