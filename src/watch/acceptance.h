// Letting a held file through once. When the deletion guard has held a run
// and a person finds the file right, "requeue --accept-deletes" puts the
// file back and leaves an acceptance in the staging area: the file's name
// as delivered and the SHA-256 of its bytes. The next file of that name
// uses the acceptance up: with those bytes it is imported without the
// guard, whatever its outcome; any other file (another name, other bytes,
// the next delivery) is guarded.
//
// The acceptance's file is named for the SHA-256 of the delivered name, so
// that a run looks for it without listing the staging area, and names of
// any bytes and length map onto one short file name.
#pragma once
#include <string>

#include "watch/watcher.h"

// Writes the acceptance durably into the staging area; false with errno.
bool writeAcceptance(int staging, const std::string& name, const std::string& sha256, const std::string& from);

// Whether an acceptance names this file (by its name as delivered).
bool acceptanceWaits(int staging, const std::string& name);

// Uses the acceptance of this name up: the first file of that name taken
// after it meets it, whatever that file's fate. Taken when the bytes are
// the accepted ones (then the run goes unguarded), OtherBytes when they are
// not (the acceptance is spent all the same: it was for a file that did not
// come), Failed when it cannot be removed (then nothing is let through).
// The removal is durable before the run goes on, so that a crash can cost
// the acceptance (the file is held again) but never let a second file
// through.
enum class Acceptance { Taken, OtherBytes, Failed };
Acceptance takeAcceptance(int staging, const std::string& name, const std::string& sha256);

// The check step of a taken file: an acceptance that waits for a file of
// this name is spent on it, and the run goes unguarded when it has the
// accepted bytes. Noted in the run's record, so that its retries go
// unguarded too.
// sha256 is that of the file as delivered (empty when it could not be read).
void takeDeletesAcceptance(Watcher& watcher, Job& job, const std::string& sha256);
