// The run's journal in the database, for the programs that call the
// importer unattended and must know whether a file was imported: when the
// environment names a table (KELVORA_JOURNAL=SCHEMA.TABLE), a run id
// (KELVORA_RUN_ID) and the file's SHA-256 (KELVORA_FILE_SHA256), a run that
// commits inserts one row there inside its own transaction, right before
// the COMMIT. So the row is there exactly when the run's data is.
// sql/journal.sql defines the table. Without KELVORA_JOURNAL nothing is
// sent.
#pragma once
#include "common/contract.h"
#include <cstddef>
#include <cstdint>

// The result (and exit status) of a run whose journal variables are not
// usable: the run does not start.

// MariaDB's longest name of a schema or a table.
constexpr size_t MaxIdentifierLength = 64;

// A journal table named SCHEMA.TABLE.
struct JournalTable {
    char schema[MaxIdentifierLength + 1] = "";
    char table[MaxIdentifierLength + 1] = "";
};

// Splits text into its two names: exactly one dot, each side 1 to 64
// characters of A-Z, a-z, 0-9, "_" and "$". False for anything else.
bool parseJournalTable(const char* text, JournalTable& table);

// Reads the three variables at the start of a run. True when no journal
// is asked for, or when all three are usable; false after naming each
// fault on standard error (then the run must not start).
bool takeJournalSettings();

// Once connected, before the import's first statement: a journal table
// without transactions would keep the row of a run that is then rolled back
// or killed, and the file would pass for imported. True when no journal is
// asked for, or its table keeps transactions, or it is missing (its row then
// fails before the COMMIT) or the catalogue did not answer; false after
// naming the table and its engine on standard error (the run must then end
// with JournalSettingFault, nothing moved or sent).
bool journalTableKeepsTransactions();

// What the journal row says of a run's file; the counts come from
// import/report.h.
struct JournalRun {
    const char* typeCode;
    const char* source;
    long long workFileBytes;
};

// Inserts the run's row when a journal is asked for, with the exit status
// the run ends with once committed; 0, or the error of the insert, which
// is named on standard error with the statement and the server's text (the
// run must then not commit).
int32_t writeJournalRow(const JournalRun& run, int exitStatus);
