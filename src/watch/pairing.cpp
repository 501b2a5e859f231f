#include "watch/pairing.h"

#include "common/diag.h"
#include "watch/marker.h"
#include "watch/names.h"

namespace {

// The section whose marker pattern makes name, with the data file's name;
// nullptr when no file in the drop folder has name as its marker.
const FileRule* dataOfMarker(const Watcher& watcher, const std::string& marker, std::string& data) {
    for (const auto& entry : watcher.queue.files) {
        const FileRule* rule = ruleFor(watcher.config, entry.first.c_str());
        if (rule == nullptr || rule->marker.empty() || isMarkerName(watcher.config, entry.first)) continue;
        if (markerNameOf(*rule, entry.first) == marker) {
            data = entry.first;
            return rule;
        }
    }
    return nullptr;
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

bool markerReady(const FileRule& rule, const std::string& name, const std::set<std::string>& complete) {
    return rule.marker.empty() || complete.count(markerNameOf(rule, name)) != 0;
}

void nameMissingHalves(Watcher& watcher, double now, const std::set<std::string>& complete) {
    for (const std::string& name : complete) {
        DropFile& file = watcher.queue.files[name];
        if (file.halfSaid) continue;
        const double waited = secondsUnchanged(file, now, watcher.once);
        if (isMarkerName(watcher.config, name)) {
            std::string data;
            if (dataOfMarker(watcher, name, data) != nullptr || waited < longestMarkerWait(watcher.config)) continue;
            diagnose("%s in %s is a marker whose file has not come for %.0f s", shownName(name).c_str(),
                     watcher.config.drop.c_str(), waited);
            file.halfSaid = true;
            continue;
        }
        const FileRule* rule = ruleFor(watcher.config, name.c_str());
        if (rule == nullptr || markerReady(*rule, name, complete) || waited < rule->markerWait) continue;
        diagnose("%s in %s has waited %.0f s for its marker %s", shownName(name).c_str(), watcher.config.drop.c_str(),
                 waited, shownName(markerNameOf(*rule, name)).c_str());
        file.halfSaid = true;
    }
}

bool markerShared(Watcher& watcher, const FileRule& rule, const std::string& name) {
    if (rule.marker.empty()) return false;
    const std::string marker = markerNameOf(rule, name);
    for (const auto& entry : watcher.queue.files) {
        if (entry.first == name || isMarkerName(watcher.config, entry.first)) continue;
        const FileRule* other = ruleFor(watcher.config, entry.first.c_str());
        if (other == nullptr || other->marker.empty() || markerNameOf(*other, entry.first) != marker) continue;
        DropFile& file = watcher.queue.files[name];
        if (!file.halfSaid) {
            diagnose("%s and %s in %s have the same marker %s: neither is taken until one of them goes",
                     shownName(name).c_str(), shownName(entry.first).c_str(), watcher.config.drop.c_str(),
                     shownName(marker).c_str());
        }
        file.halfSaid = true;
        return true;
    }
    return false;
}
