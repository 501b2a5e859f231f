// The one database connection of the process and the few operations the
// program needs on it, each answering with a result code:
//   0 success, a positive client error number, -1 no result to work on,
//   1032 every row of a result has been fetched.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <mysql.h>

constexpr int32_t EndOfRows = 1032;
constexpr int32_t ErrorDuplicateKey = 1062;
constexpr int32_t ErrorUnknownColumn = 1054;
constexpr int ServerDateTimeSize = 32;   // room for 31 characters

// One statement and its stored result. The destructor releases a result
// that the caller did not free, so no path leaks one.
struct QueryResult {
    const char* statement = nullptr;
    MYSQL_RES* result = nullptr;
    int32_t rowsFetched = 0;

    QueryResult() = default;
    explicit QueryResult(const char* text) : statement(text) {}
    QueryResult(const QueryResult&) = delete;
    QueryResult& operator=(const QueryResult&) = delete;
    ~QueryResult();
};

int32_t dbConnect(const char* user, const char* password, const char* host, const char* database);
int32_t executeStatement(QueryResult& query);
int32_t fetchRow(QueryResult& query, MYSQL_ROW* row);
int32_t freeResult(QueryResult& query);
uint64_t affectedRows();
int commitWork();
int32_t queryServerDate(char* target);
int32_t lastErrorNumber();

// Writes value into target as the connection's character set requires it
// between apostrophes. target needs 2 * value.size() + 1 bytes; returns the
// length written, or -1 when the capacity is too small.
long escapeSqlValue(char* target, size_t capacity, std::string_view value);
