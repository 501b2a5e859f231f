// Letting a held file through once. When the deletion guard has held a run
// and a person finds the file right, "requeue --accept-deletes" puts the
// file back and leaves an acceptance in the staging area: the file's name
// as delivered and the SHA-256 of its bytes. The next run of a file of
// that name with those bytes starts without the guard and uses the
// acceptance up, whatever its outcome; any other file (another name, other
// bytes, the next delivery) is guarded again.
//
// The acceptance's file is named for the SHA-256 of the delivered name, so
// that a run looks for it without listing the staging area, and names of
// any bytes and length map onto one short file name.
#pragma once
#include <string>

// Writes the acceptance durably into the staging area; false with errno.
bool writeAcceptance(int staging, const std::string& name, const std::string& sha256, const std::string& from);

// Whether an acceptance names this file (by its name as delivered).
bool acceptanceWaits(int staging, const std::string& name);

// The SHA-256 the acceptance of this name lets through; empty when none.
std::string acceptedSha256(int staging, const std::string& name);

// Uses the acceptance of this name up when it is for these bytes: removed
// durably before the run starts, so that a crash can cost the acceptance
// (the file is held again) but never let a second file through. False
// when there is none for these bytes, or it cannot be removed.
bool takeAcceptance(int staging, const std::string& name, const std::string& sha256);
