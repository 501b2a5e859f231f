// Marker files: a sender that delivers a file in several goes (or from
// another machine, where no one can see it still writing) says it is whole
// by a second file, named after it by the section's marker pattern:
// "{name}.done" (the delivered name), "{stem}.ok" (that name without its
// last extension). A marker may be empty, or hold lines "bytes=N",
// "lines=N" and "sha256=HEX" that the file must match.
#pragma once
#include <string>

#include "watch/config.h"
#include "watch/digest.h"

// The marker's name of a data file under rule (which has a marker).
std::string markerNameOf(const FileRule& rule, const std::string& name);

// Whether name is a marker under any section: such a name is never taken
// as data.
bool isMarkerName(const WatchConfig& config, const std::string& name);

// Whether the marker's text holds only what it may, and the file matches
// each line it has; false with the reason otherwise.
bool fileMatchesMarker(const std::string& markerText, const FileDigest& file, std::string& reason);
