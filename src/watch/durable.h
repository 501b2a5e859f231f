// File operations that a crash cannot cut in half, relative to folder
// descriptors so that no path is looked up twice. A file is written under a
// temporary name, flushed, then renamed; every folder a rename or a create
// changed is flushed after it. Every step is checked: each function returns
// false with errno set when any step failed, and leaves no temporary file.
// The descriptors passed are borrowed: each function closes only what it
// opened itself.
#pragma once
#include <atomic>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "watch/folder.h"

// What the watcher writes is for the site's eyes only: it holds identity
// records with their PINs.
constexpr mode_t RunFolderMode = 0750;
constexpr mode_t RunFileMode = 0640;
constexpr mode_t StagingMode = 0700;

// Flushes a folder's entries to the disk.
bool syncFolder(int folder);

// What makeFolder does with a folder of that name that is there already.
enum class ExistingFolder { Refuse, Take };

// Creates the folder name in folder with mode (whatever the umask); an
// existing one is refused (EEXIST) or taken as it is.
bool makeFolder(int folder, const std::string& name, mode_t mode, ExistingFolder existing);

// makeFolder in the folder at path (links followed, as the site wrote it),
// which is flushed after it, so that a crash cannot take back the new
// folder's entry once this returned.
bool makeFolderIn(const std::string& path, const std::string& name, mode_t mode, ExistingFolder existing);

// rename(2) within or between folders that never replaces an entry at to
// (EEXIST); a file system without RENAME_NOREPLACE gets a look first.
bool renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to);

// Writes text as the file name in folder: a temporary name, flushed, renamed
// over name, the folder flushed.
bool writeFileDurably(int folder, const std::string& name, const std::string& text);

// Writes text as the file name in folder, whole or not at all (a temporary
// name, renamed over name), but not flushed: for a view of the moment
// (the metrics, the work in progress) that a crash may lose and the next
// write replaces.
bool writeFileQuickly(int folder, const std::string& name, const std::string& text);

// A file written in pieces: createTemporary opens a new temporary file
// beside name (-1 with errno), finishTemporary flushes and closes it and,
// when written is true, renames it over name and flushes the folder;
// otherwise, or when a step fails, the temporary file goes.
int createTemporary(int folder, const std::string& name, std::string& temporary);
bool finishTemporary(int fd, bool written, int folder, const std::string& temporary, const std::string& name);

// finishTemporary that flushes the file but not the folder: for several
// files of one folder, which the caller flushes once after the last rename.
bool finishTemporaryUnsynced(int fd, bool written, int folder, const std::string& temporary, const std::string& name);

// Copies everything readable from the descriptor in into the new file name
// of folder, flushed, through a temporary name; the folder is flushed.
// With stop, a copy that is asked to stop leaves nothing and fails with
// ECANCELED.
bool copyDurably(int in, int folder, const std::string& name, const std::atomic<bool>* stop = nullptr);

// Removes name in folder with all it holds; a missing one is no fault.
bool removeTree(int folder, const std::string& name);

// Copies the folder from (with its files and folders) as to into the
// folder toFolder, every file and folder flushed; nothing of to is left
// when a step failed.
bool copyTree(int fromFolder, const std::string& from, int toFolder, const std::string& to);
