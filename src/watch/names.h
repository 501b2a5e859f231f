// A delivered name is data a sender chose: any bytes but "/" and NUL, up to
// the file system's limit. These give it the forms the watcher needs: one
// that cannot forge a log line, and file and folder names of the watcher's
// own that fit and hold no control byte.
#pragma once
#include <string>

// The name for the log, the reason file and the run record: a control byte
// is written as \n, \r, \t or \xHH, a backslash as \\, so one line stays one
// line and the name can be read back.
std::string shownName(const std::string& name);

// The name of a run folder: the time it was taken, "_", and the delivered
// name with control bytes as "_"; a name too long for a folder name is cut
// and a hash of the whole name follows, so two long names stay apart.
std::string runFolderName(const std::string& stamp, const std::string& name);

// The name the file has in its run folder, where the importer reads it: the
// delivered name with control bytes as "_", cut with a hash when its work
// file's name would not fit.
std::string importName(const std::string& name);

// The name of a file's receipt: the delivered name, "." and the outcome,
// ".json". A name that holds a control byte, or is too long for the
// ending, gets the run folders' form (cut, with a hash of the whole name),
// so that two delivered names never share a receipt.
std::string receiptName(const std::string& name, const std::string& outcome);

// Whether name can be one entry of a folder: not empty, neither "." nor
// "..", without "/" and NUL. A name read back from a run's record is data:
// it is checked with this before a path is made of it.
bool isEntryName(const std::string& name);
