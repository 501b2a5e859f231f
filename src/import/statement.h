// Building and running the statements of the import members.
//
// A statement is formatted from its fixed format text into StatementBuffer.
// The formats keep the printf conversions "%s", "%d", "%hd" and "%%"; each
// "%s" takes one argument, which is either a text value (escaped for the
// connection, for use between apostrophes) or a raw SQL fragment the member
// has already made safe (NULL, a quoted literal it built, a checked number).
#pragma once
#include <cstdint>
#include <initializer_list>

constexpr int StatementBufferSize = 1500;
constexpr int StatementTooLongExitStatus = 1;

extern char StatementBuffer[StatementBufferSize];

enum class SqlArgKind { Text, Raw, Number };

struct SqlArg {
    SqlArgKind kind;
    const char* text;
    long number;
};

inline SqlArg sqlText(const char* value) { return {SqlArgKind::Text, value, 0}; }
inline SqlArg sqlRaw(const char* fragment) { return {SqlArgKind::Raw, fragment, 0}; }
inline SqlArg sqlNumber(long value) { return {SqlArgKind::Number, nullptr, value}; }

// Formats into StatementBuffer. A text that does not fit (1500 characters or
// more) ends the process at once with exit status 1, without COMMIT.
void formatStatement(const char* format, const SqlArg* args, int count);
void formatStatement(const char* format, std::initializer_list<SqlArg> args);

// Formats and runs one record statement; releases its result on success and
// returns the result code of executeStatement.
int32_t runStatement(const char* format, const SqlArg* args, int count);
int32_t runStatement(const char* format, std::initializer_list<SqlArg> args);

// Runs a fixed statement text (delete-all, mark, sweep); returns its result
// code. Nothing is released: these statements return no rows.
int32_t runFixedStatement(const char* text);

// Builds the SQL literal of an optional value into target: the quoted,
// escaped text, or NULL without apostrophes when the text is empty.
void buildOptionalLiteral(const char* value, char* target, int targetSize);
