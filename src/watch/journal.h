// The run journal (journal = SCHEMA.TABLE in [site]): each run gets an id
// and the SHA-256 of its checked file, which the importer writes into the
// journal inside its own transaction when it commits. So the journal knows
// whether a run whose end nobody saw committed, and whether a file was
// imported before. The watcher asks it through kelvora-journal, run in the
// importer's working directory with the importer's login.
#pragma once
#include <string>

#include "watch/config.h"
#include "watch/importer.h"

enum class JournalAnswer { Found, Absent, CannotAsk };

// Whether the run id has a row: Found fills run from it (committed, its
// failed and wrong-length counts, its exit status), Absent means nothing
// was committed.
JournalAnswer askRunInJournal(const WatchConfig& config, const std::string& runId, RunOutcome& run);

// Whether a committed run imported this file (its SHA-256 and type code)
// before; earlier says which and when.
JournalAnswer askFileInJournal(const WatchConfig& config, const std::string& sha256, const std::string& typeCode,
                               std::string& earlier);
