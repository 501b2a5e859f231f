// What the importer and the programs that run it (kelvora-watch) agree on:
// the environment variables that set a run's report, limits and journal,
// the exit statuses, the words and keys of the run report, the line that
// says a connection failed, and the error numbers whose meaning decides
// what becomes of a file. The importer writes them and the watcher reads
// them; both take them from here, so that rewording one changes both.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Environment variables the watcher sets for each import. ----
constexpr const char* ReportVariable = "KELVORA_REPORT";           // FILE: the run report goes there
constexpr const char* MaxFailedVariable = "KELVORA_MAX_FAILED";    // N: more failed records commit nothing
constexpr const char* JournalVariable = "KELVORA_JOURNAL";         // SCHEMA.TABLE of the run journal
constexpr const char* RunIdVariable = "KELVORA_RUN_ID";            // the run's id in the journal
constexpr const char* Sha256Variable = "KELVORA_FILE_SHA256";      // the file's SHA-256 in the journal
// The deletion guard: with either set, a run that would delete more rows of
// a table than every limit set commits nothing.
constexpr const char* MaxDeletesVariable = "KELVORA_MAX_DELETES";
constexpr const char* MaxDeleteShareVariable = "KELVORA_MAX_DELETE_SHARE";
// Every variable of the contract, for a child that must get the run's own
// values and never the caller's.
constexpr const char* ContractVariables[] = {ReportVariable, MaxFailedVariable, JournalVariable, RunIdVariable,
                                             Sha256Variable, MaxDeletesVariable, MaxDeleteShareVariable};

// ---- Results, and so exit statuses, of the importer's own. ----
constexpr int32_t FileFailureResult = 99;      // the file cannot be moved, opened or read, or is no such file
constexpr int32_t TooManyFailedResult = 98;    // more records failed than KELVORA_MAX_FAILED allows
constexpr int32_t JournalSettingFault = 97;    // the journal's variables are missing or malformed
// The deletion guard held the run: it would have deleted too many rows, or
// it could not have undone what it deletes (a table without transactions).
constexpr int32_t TooManyDeletedResult = 96;

// ---- The run report: its endings... ----
constexpr const char* NotStartedEnding = "not started";
constexpr const char* CompletedEnding = "completed";
constexpr const char* NoValidLineEnding = "no valid line";
constexpr const char* TransactionAbortedEnding = "transaction aborted";
constexpr const char* ReadFailedEnding = "read failed";
constexpr const char* StatementTooLongEnding = "statement too long";
constexpr const char* Utf8FileEnding = "utf-8 file";
constexpr const char* TooManyFailedEnding = "too many failed";
constexpr const char* OpeningFailedEnding = "opening statement failed";
constexpr const char* ClosingFailedEnding = "closing statement failed";
constexpr const char* TooManyDeletedEnding = "too many deleted";
constexpr const char* DeletionsNotCountedEnding = "deletions not counted";
constexpr const char* OpenFailedEnding = "open failed";
constexpr const char* JournalFailedEnding = "journal failed";
constexpr const char* CommitFailedEnding = "commit failed";
// The endings of a run whose transaction the server ended: nothing was
// committed, and the same file may well go through at another try.
constexpr const char* AbortEndings[] = {TransactionAbortedEnding, CommitFailedEnding, DeletionsNotCountedEnding};

// ---- ...and its keys. ----
constexpr const char* ReportLinesKey = "lines";
constexpr const char* ReportWrittenKey = "written";
constexpr const char* ReportFailedKey = "failed";
constexpr const char* ReportWrongLengthKey = "wrong_length";
constexpr const char* ReportCommittedKey = "committed";
constexpr const char* ReportEndingKey = "ending";
constexpr const char* ReportFailedStatementKey = "failed_statement";
constexpr const char* ReportResultKey = "result";
constexpr const char* ReportExitStatusKey = "exit_status";
constexpr const char* ReportDeleteLimitsKey = "delete_limits";
constexpr const char* ReportMaxDeletesKey = "max_deletes";
constexpr const char* ReportMaxDeleteShareKey = "max_delete_share";
constexpr const char* ReportTablesKey = "tables";
constexpr const char* ReportTableKey = "table";
constexpr const char* ReportRowsBeforeKey = "rows_before";
constexpr const char* ReportRowsAfterKey = "rows_after";
constexpr const char* ReportDeletedKey = "deleted";
constexpr const char* ReportTooManyKey = "too_many";
// The records the server refused, first first: each with its line, its
// server error's number and text.
constexpr const char* ReportFailuresKey = "failures";
constexpr const char* ReportFailureLineKey = "line";
constexpr const char* ReportFailureErrorKey = "error";
constexpr const char* ReportFailureTextKey = "text";

// ---- A run that could not connect. ----
// Its line on standard output (then the client's error number), before
// anything else; and the start of its line on standard error that quotes
// the client library's text.
constexpr const char* ConnectFailedLine = "Datenbankverbindung fehlgeschlagen, Fehler: ";
constexpr const char* ConnectFailedText = "cannot connect as user ";

// ---- Error numbers. ----
// The client library's own errors: the server's answer never came, so a
// COMMIT that failed with one may have taken effect.
constexpr long FirstClientError = 2000;
constexpr long LastClientError = 2999;
// Failures that end a transaction, or the connection, not just a statement.
constexpr int32_t DeadlockError = 1213;
constexpr int32_t LockWaitTimeoutError = 1205;
constexpr int32_t ConnectionKilledError = 1927;
constexpr int32_t ServerGoneError = 2006;       // the client's "server has gone away"
constexpr int32_t ConnectionLostError = 2013;   // "lost connection"
constexpr int32_t LostWhileReadingError = 2055;
// Aborts after which another try may succeed, with their names for the log.
struct NamedError {
    long number;
    const char* name;
};
constexpr NamedError RetryableErrors[] = {
    {DeadlockError, "deadlock"},           {LockWaitTimeoutError, "lock wait timeout"},
    {ConnectionKilledError, "connection killed"}, {ServerGoneError, "server gone away"},
    {ConnectionLostError, "connection lost"},     {LostWhileReadingError, "connection lost while reading"}};
// Connection errors of a database that is away: too many connections,
// access denied, unknown database, shutting down, host blocked or not
// allowed, too many user connections; no socket, no host, unknown host,
// gone away, lost.
constexpr long AwayErrors[] = {1040, 1045, 1049, 1053, 1129, 1130, 1203, 2002, 2003, 2005, ServerGoneError,
                               ConnectionLostError};

// Errors of a journal row the importer could not write: no table, no
// INSERT right, no right on the schema. The journal is then away rather
// than the file at fault, so the watcher holds the file.
constexpr long JournalAwayErrors[] = {1146, 1142, 1044};

// Whether error is one of the count errors.
constexpr bool isOneOf(long error, const long* errors, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (errors[i] == error) return true;
    }
    return false;
}

// The name of a retryable error; null for any other.
constexpr const char* retryableName(long error) {
    for (const NamedError& named : RetryableErrors) {
        if (named.number == error) return named.name;
    }
    return nullptr;
}
