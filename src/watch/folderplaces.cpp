#include "watch/folderplaces.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "common/diag.h"
#include "watch/runfolder.h"
#include "watch/watcher.h"

namespace {

constexpr const char* ParentName = "..";
constexpr const char* SelfName = ".";

// One of the site's folders: as the messages name it (its key and path as
// written) and as resolved.
struct Place {
    std::string shown;
    std::string resolved;
};

// The folder that holds path ("/" for "/" itself).
std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Whether inner is outer itself or lies below it.
bool liesIn(const std::string& inner, const std::string& outer) {
    if (inner == outer || outer == "/") return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
}

// A pair that is not apart, named with the configuration it came from.
void nameOverlap(const Place& one, const Place& other, const std::string& configPath) {
    if (one.resolved == other.resolved) {
        diagnoseAt(Severity::Error, "%s and %s are one folder, %s (%s)", one.shown.c_str(), other.shown.c_str(),
                   one.resolved.c_str(), configPath.c_str());
        return;
    }
    const bool oneInside = liesIn(one.resolved, other.resolved);
    const Place& inner = oneInside ? one : other;
    const Place& outer = oneInside ? other : one;
    diagnoseAt(Severity::Error, "%s lies inside %s: %s is below %s (%s)", inner.shown.c_str(), outer.shown.c_str(),
               inner.resolved.c_str(), outer.resolved.c_str(), configPath.c_str());
}

}  // namespace

std::string resolvedFolder(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) return resolved;
    const size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    const std::string trimmed = path.substr(0, end + 1);
    const std::string last = trimmed.substr(trimmed.rfind('/') + 1);
    const std::string parent = resolvedFolder(parentOf(trimmed));
    if (last.empty() || last == SelfName) return parent;
    if (last == ParentName) return parentOf(parent);
    return pathIn(parent == "/" ? "" : parent, last);
}

bool foldersApart(const WatchConfig& config) {
    const std::string staging = pathIn(config.workdir, StagingFolderName);
    std::vector<Place> places = {{"drop = " + config.drop, resolvedFolder(config.drop)},
                                 {"archive = " + config.archive, resolvedFolder(config.archive)},
                                 {"failed = " + config.failed, resolvedFolder(config.failed)},
                                 {"the staging area " + staging, resolvedFolder(staging)}};
    if (!config.receipts.empty()) places.push_back({"receipts = " + config.receipts, resolvedFolder(config.receipts)});
    bool apart = true;
    for (size_t i = 0; i < places.size(); ++i) {
        for (size_t j = i + 1; j < places.size(); ++j) {
            if (!liesIn(places[i].resolved, places[j].resolved) && !liesIn(places[j].resolved, places[i].resolved)) {
                continue;
            }
            nameOverlap(places[i], places[j], config.path);
            apart = false;
        }
    }
    return apart;
}
