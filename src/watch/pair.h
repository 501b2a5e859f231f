// Files and their markers. A sender that delivers a file in several goes
// (or from another machine, where no one can see it still writing) says it
// is whole by a second file, named after it by the section's marker
// pattern: "{name}.done" (the delivered name), "{stem}.ok" (that name
// without its last extension). A marker may be empty, or hold lines
// "bytes=N", "lines=N" and "sha256=HEX" that the file must match.
//
// A file whose section asks for a marker is complete only once its marker
// is there and has settled too; a file that waits for its marker longer
// than marker-wait seconds, and a marker whose file does not come, are
// named once in the log. Once the file is taken, the marker is copied into
// its run folder (take.h) and leaves the drop folder; the file is checked
// against what it says before the import.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "watch/config.h"
#include "watch/digest.h"
#include "watch/watcher.h"

// The marker's name of a data file under rule (which has a marker).
std::string markerNameOf(const FileRule& rule, const std::string& name);

// Whether name is a marker under any section: such a name is never taken
// as data.
bool isMarkerName(const WatchConfig& config, const std::string& name);

// What a drop entry's name is under the watcher's configuration: a marker,
// a file of a section (rule), or neither (rule nullptr).
struct EntrySection {
    const FileRule* rule = nullptr;
    bool marker = false;
};

// Notes for each entry of the drop folder that is new, or was noted under
// an earlier configuration, what its name is: the sections are matched
// once per entry and configuration, however often the loop looks at the
// folder.
void noteEntrySections(Watcher& watcher);

// What the entry is: as noted, or matched now where it was not.
EntrySection sectionOfEntry(const Watcher& watcher, const std::string& name, const DropFile& file);

// The data files of the drop folder that have a marker, by the marker's
// name (in name order): found once per look at the folder, not once per
// marker.
using MarkerOwners = std::map<std::string, std::vector<std::string>>;
MarkerOwners markerOwners(const Watcher& watcher);

// Whether the file's marker is among the complete names (or it needs none).
bool markerReady(const FileRule& rule, const std::string& name, const std::set<std::string>& complete);

// Whether another file in the drop folder has the same marker (two files
// with one stem under {stem}): the marker cannot say which is whole, so
// neither is taken, and both are named once.
bool markerShared(Watcher& watcher, const MarkerOwners& owners, const FileRule& rule, const std::string& name);

// Names, once each, the halves that wait longer than their section allows.
void nameMissingHalves(Watcher& watcher, double now, const std::set<std::string>& complete,
                       const MarkerOwners& owners);

// Whether the marker's text holds only what it may, and the file matches
// each line it has; false with the reason otherwise.
bool fileMatchesMarker(const std::string& markerText, const FileDigest& file, std::string& reason);

// What the taken file is against its marker: it matches (or has no
// marker), it differs, or either cannot be read.
enum class MarkerMatch { Matches, Differs, Unreadable };

// The taken file (its bytes as delivered digested in delivered) against its
// marker's lines; with the reason when it does not match.
MarkerMatch matchesMarker(const Job& job, const DigestRead& delivered, std::string& reason);
