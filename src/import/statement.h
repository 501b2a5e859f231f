// Building and running the statements of the import members.
//
// A statement is formatted from its fixed format text into StatementBuffer.
// The formats keep the printf conversions "%s", "%d", "%hd" and "%%"; each
// "%s" takes one argument: a text value (escaped for the connection, for use
// between apostrophes), an optional text (its quoted, escaped literal, or
// NULL when empty), or a raw SQL fragment the member has already made safe
// (a checked number).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

constexpr int StatementBufferSize = 1500;
constexpr int32_t StatementTooLongResult = 1;   // the run's result when a text does not fit

extern char StatementBuffer[StatementBufferSize];

enum class SqlArgKind { Text, OptionalText, Raw, Number };

struct SqlArg {
    SqlArgKind kind;
    const char* text;
    long number;
};

inline SqlArg sqlText(const char* value) { return {SqlArgKind::Text, value, 0}; }
inline SqlArg sqlOptionalText(const char* value) { return {SqlArgKind::OptionalText, value, 0}; }
inline SqlArg sqlRaw(const char* fragment) { return {SqlArgKind::Raw, fragment, 0}; }
inline SqlArg sqlNumber(long value) { return {SqlArgKind::Number, nullptr, value}; }

// Formats into StatementBuffer; false when the text does not fit (1500
// characters or more), and then nothing may be sent.
bool formatStatement(const char* format, const SqlArg* args, int count);
bool formatStatement(const char* format, std::initializer_list<SqlArg> args);

// value escaped as formatStatement escapes a text, for use between
// apostrophes in the catalogue's questions, which are built outside
// StatementBuffer; empty when the connection could not escape it.
std::string escapedSqlText(std::string_view value);

// A name the catalogue gave (a column's), as an identifier: between
// backticks, a backtick in it doubled.
std::string quotedIdentifier(std::string_view name);

// Why a run must send nothing more: a statement did not fit its buffer, or a
// failure ended the transaction (or the connection) on the server. Once set
// it stays set, and every later statement returns at once without being sent.
enum class RunStop { None, StatementTooLong, TransactionEnded };
RunStop runStop();
int32_t runStopCode();   // the failure that ended the transaction

// Every statement result of the run passes here once: a success is noted,
// a failure that ended the transaction stops the run. Returns the result's
// code.
struct StatementResult;
int32_t checkedResult(const StatementResult& result);

// The server's text for the last failed result that passed checkedResult.
const char* lastFailureText();

// A statement did not fit its buffer: the run stops, nothing more is sent.
void stopForLongStatement();

// Runs a fixed statement text (delete-all, mark, sweep) unless the run has
// stopped; returns its result code, checked.
int32_t runFixedStatement(const char* text);
