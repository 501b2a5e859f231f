// Where a delivered file ends: its run folder, archive/<UTC time>_<name>/
// when it was imported whole, failed/<UTC time>_<name>/ otherwise. The
// folder gathers the work file, the run's standard output (in UTF-8), its
// standard error and its report, and in failed/ a file "reason".
#pragma once
#include <ctime>
#include <string>

// The UTC time as the run folders name it: 20250131T235959Z.
std::string utcStamp(time_t time);

// Creates base/<stamp>_<name>, or with "-2", "-3", ... after it when that
// exists already. False (with errno) when it cannot be made.
bool makeRunFolder(const std::string& base, const std::string& stamp, const std::string& name, std::string& folder);

// Moves a file: a rename, or, across file systems, a copy and a removal of
// the original. A file already at to is never replaced (EEXIST). False
// (with errno) when the file could not be moved.
bool moveFile(const std::string& from, const std::string& to);

// Moves every file of the folder from into the folder to; a file ending in
// ".cp1252" (a run's standard output) is converted to UTF-8 on the way and
// loses that ending to ".txt". Then removes the folder from. False when a
// file could not be moved (it stays where it was).
bool moveFolderContents(const std::string& from, const std::string& to);

// Writes a short text file; false (with errno) when it could not be written.
bool writeTextFile(const std::string& path, const std::string& text);
