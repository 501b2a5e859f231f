// The watcher's view of its work, for status, which runs as a process of
// its own: the files in the staging area and what each does or waits for
// (an import with its pid and how long it has run), the drop entries the
// watcher cannot take and why, and whether the journal can be asked. The
// watcher writes it (.work in the staging area) whenever it changes; it is
// a view of the moment, so it is not flushed, and status believes it only
// while a watcher holds the drop folder.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "watch/watcher.h"

constexpr const char* WorkViewName = ".work";

// A job's step in a word, for the metrics' label and the view, in the
// order of Phase.
constexpr const char* DoingWords[] = {"taking", "checking", "journal", "turn",   "import",
                                      "retry",  "filing",   "held",    "resume", "database"};
const char* doingWord(const Job& job);

// Writes the view when it changed since it was last written.
void writeWorkView(Watcher& watcher, double now);

// The watcher ends: its view goes with it.
void removeWorkView(Watcher& watcher);

// Reads the view of the staging area; false when there is none.
bool readWorkView(int staging, nlohmann::json& view);
