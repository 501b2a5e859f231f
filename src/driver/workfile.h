// The work file of a run: the source moved aside under its work name, so
// the delivering system can drop the next file while this one is read.
#pragma once
#include <string>

#include "common/paths.h"

// Moves the source to the work path; false when it could not be moved (the
// reason goes to standard error). An older work file is replaced by the
// move, and only by it: a retried run whose source is gone leaves the older
// work file, the only copy of the data, as it is. A source that already
// carries its work name stays where it is.
bool moveToWorkFile(const std::string& source, const std::string& work);

// What moveToWorkFile would meet, without moving anything (a check run
// reads the source where it stands): false, with the reason on standard
// error, where the move would fail.
bool sourceWouldMove(const std::string& source, const std::string& work);
