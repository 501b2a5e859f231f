// What an ended import means for its file. Every question the watcher asks
// of a run's result is answered here: whether it committed, whether
// another try may succeed, whether the database was away, whether the
// deletion guard held it, whether the file was imported whole (to
// archive/), and else why it goes to failed/, in one line that says
// whether anything was committed.
#pragma once
#include <string>

#include "watch/config.h"
#include "watch/importer.h"
#include "watch/runrecord.h"

// What a run did to the tables, as far as anyone can know: the three
// outcomes the log, the reason and --once's exit status tell apart.
enum class Committed { Yes, No, Unknown };

// Committed when the report says so, nothing committed when it says that,
// unknown without a report or when the connection was lost during the
// COMMIT.
Committed committedOf(const RunOutcome& run);
const char* committedText(Committed committed);

// A run whose COMMIT failed with a client error (the connection was lost,
// or the answer never came): the commit may have taken effect, so the file
// must not be imported again unseen.
bool commitUnknown(const RunOutcome& run);

// A run that ended with a transaction abort another try may not meet: a
// deadlock, a lock wait timeout, a killed or lost connection. It committed
// nothing, and its work file is intact.
bool isRetryable(const RunOutcome& run);

// The abort a retry follows, by name: "lock wait timeout (1205)".
std::string abortText(long error);

// A run that could not connect because the database is away (down,
// refusing, full, shutting down, the login or the database unknown to it)
// did nothing: its file is intact and may wait for the database.
bool databaseAway(const RunOutcome& run);

// The deletion guard held the run: it would have deleted too many rows, or
// a table it writes has no transactions. Nothing was committed; a person
// decides, and requeue --accept-deletes lets the file through once.
bool heldByGuard(const RunOutcome& run);

// Imported whole: exit 0, committed, no record failed and no opening or
// closing statement either (a failed IDN clearing still exits 0).
// More wrong-length lines than the section allows are never whole either.
bool importedWhole(const RunOutcome& run, const FileRule& rule);

// Where the run will be filed in failed/, and the configuration it was
// read from, for the command a reason names.
struct FailedPlace {
    std::string runFolder;
    std::string config;
};

// Whether a reason may quote what the importer or the server wrote (a line
// of standard error, the server's text of the first failed record): the
// run folder's reason does, a sender's receipt does not (such text may
// quote a record, which other senders must not read).
enum class OutputQuotes { Kept, Left };

// Why the run's file goes to failed/; errorFile is the importer's standard
// error, whose last line says most when there is no report.
std::string failureReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile,
                          const FailedPlace& place, OutputQuotes quotes);
