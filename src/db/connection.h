// The one database connection of the process and the few operations the
// program needs on it, each answering with a result code:
//   0 success, a positive client error number, -1 a failure without one.
// Only this folder sees the client library; callers see texts and numbers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/contract.h"

constexpr int32_t ErrorUnknownColumn = 1054;
constexpr int32_t ErrorLockWaitTimeout = LockWaitTimeoutError;
constexpr int32_t ErrorDuplicateKey = 1062;
constexpr int32_t ErrorParse = 1064;
constexpr int32_t ErrorAccessDenied = 1045;
constexpr int32_t ErrorNoCharacterSet = 2019;   // the client's "can't initialise character set"
constexpr int32_t ErrorOptionFileRefused = 2000;   // the client's "unknown error", for a refused option file
constexpr int32_t ErrorNotEncrypted = 2026;        // the client's "SSL connection error"
constexpr int ServerDateTimeSize = 32;          // room for 31 characters

// Makes the client library's connection object ready, latin1 chosen as
// its character set, without connecting. dbConnect does this first; on its
// own it lets statements be formatted (values escaped) with no server, as
// the fuzz targets do. False when the library could not allocate.
bool prepareConnection();

// Connects with port 0 and no socket name (the client library's defaults
// choose the endpoint), the latin1 character set and autocommit off, so a
// run is one transaction. It waits for the server to answer a query, or to
// take one, at most its read and write timeouts (DefaultNetTimeoutSeconds
// each, of db/optionfile.h), so that a silent peer ends the run with 2013.
// The site's option file, when there is one, adds socket, port, TLS and the
// connect, read and write timeouts; a file that sets anything the settings
// file gives (or the character set), or a timeout that is no number of
// seconds, is refused before connecting, with ErrorOptionFileRefused and its
// reason as lastErrorText; one that asks
// for TLS where the server does not encrypt the session fails with
// ErrorNotEncrypted before any statement. Returns 0
// or the client error number; a set-up step that fails without a number
// gives ErrorNoCharacterSet.
int32_t dbConnect(const char* user, const char* password, const char* host, const char* database);

// Where a connection to host goes, as the client library chooses it: the
// local socket (no host, or "localhost") from the option file, else
// MYSQL_UNIX_PORT, else the library's default; else the host on the port
// from the option file, MYSQL_TCP_PORT or the default. Written into out as
// "local socket PATH" or "host H, port P".
void describeEndpoint(const char* host, char* out, size_t size);

// The option file of the connection, for messages: its path, or "none"
// and why (the file named does not exist).
void describeOptionFile(char* out, size_t size);

// The client library's text for the last failure of the connection (empty
// when there was none).
const char* lastErrorText();

// The server's text for the last statement that failed in runStatements,
// kept when later statements (such as the question whether a transaction is
// still open) succeed.
const char* lastStatementErrorText();

// Runs a query of one value and copies the value into target (room for
// targetSize bytes). Returns 0, the error number, or -1 when there was no
// value; target stays unchanged unless the query gave one.
int32_t querySingleValue(const char* query, char* target, size_t targetSize);

// Lets one query carry several statements separated by ";". Only switched
// on when the import sends statement windows; false when the server refused.
bool enableMultiStatements();

// The result of one statement of a multi-statement query.
struct StatementResult {
    int32_t code;         // 0 or the error number
    uint64_t affected;    // rows changed, when code is 0
    bool inTransaction;   // when code is 0: the server has a transaction open
    unsigned warnings;    // when code is 0: the warnings it left
    long records;         // when code is 0: the rows a multi-row statement took ("Records:"), or -1
};

// Sends text (length bytes, statements separated by ";") as one query and
// stores each statement's result in results, in order, until the first
// failure (the server runs none of the statements after it) or the last
// statement. Returns the number of results stored; never more than
// capacity (a query must not hold more statements than that).
int runStatements(const char* text, size_t length, StatementResult* results, int capacity);

// runStatements in two halves, so that the program can work while the
// server runs a query: sendStatements sends it (0, or the error number of a
// failed send, which readStatements then gives as the query's result), and
// readStatements reads its results. Nothing else may use the connection
// between the two.
int32_t sendStatements(const char* text, size_t length);
int readStatements(StatementResult* results, int capacity);

// Runs a query and hands every column of its first row to take, as bytes
// with their length (a NULL column as nullptr). Returns 0, the error
// number, or -1 when there was no row.
using ColumnTaker = void (*)(int column, const char* bytes, size_t length, void* context);
int32_t queryFirstRow(const char* query, ColumnTaker take, void* context);

// Asks the server whether the session still has a transaction open (the
// server's status after a statement that does nothing); 0 or the error
// number of the question. A session that has written only tables without
// transactions has none.
int32_t askTransactionOpen(bool& open);

// Runs one statement and releases whatever result it had.
StatementResult runStatement(const char* text);

// Commits the run's transaction; 0 or the error number.
int32_t commitWork();

// Rolls the run's transaction back (a check run ends so); 0 or the error
// number.
int32_t rollbackWork();

// Runs a query and hands each row of its result to take, as it arrives
// from the server (the rows are not stored first), with the bytes and
// lengths of its columns (a NULL column as nullptr). Returns 0 or the error
// number.
using RowTaker = void (*)(const char* const* columns, const unsigned long* lengths, unsigned count, void* context);
int32_t queryRows(const char* query, RowTaker take, void* context);

// The server's date and time "dd.mm.yyyy hh:mm:ss" into target (room for
// ServerDateTimeSize bytes); target stays unchanged when the query fails.
int32_t queryServerDate(char* target);

// Writes value into target as the connection's character set requires it
// between apostrophes. target needs 2 * value.size() + 1 bytes; returns the
// length written, or -1 when the capacity is too small.
long escapeSqlValue(char* target, size_t capacity, std::string_view value);
