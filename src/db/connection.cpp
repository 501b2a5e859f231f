#include "db/connection.h"

#include <cstring>

namespace {

// The one connection of the process. It is never closed explicitly: it ends
// with the process, and with it any transaction that was not committed.
MYSQL Connection;
bool ConnectionInitialised = false;
int32_t LastErrorNumber = 0;

constexpr const char* ConnectionCharacterSet = "latin1";
constexpr const char* AutocommitOff = "SET AUTOCOMMIT = 0";
constexpr const char* Commit = "COMMIT";
constexpr const char* ServerDateQuery = "SELECT date_format(sysdate(), '%d.%m.%Y %H:%i:%s')";

int32_t recordError() {
    LastErrorNumber = static_cast<int32_t>(mysql_errno(&Connection));
    return LastErrorNumber;
}

}  // namespace

QueryResult::~QueryResult() {
    if (result != nullptr) mysql_free_result(result);
}

// Opens the connection with autocommit off, so that a run is one transaction.
// The connection character set is latin1 (Windows-1252 on the server), so the
// single-byte texts of the files are stored as they are. Port 0 and no socket
// leave the choice of endpoint to the client library's defaults.
int32_t dbConnect(const char* user, const char* password, const char* host, const char* database) {
    if (mysql_init(&Connection) == nullptr) return recordError();
    ConnectionInitialised = true;
    mysql_options(&Connection, MYSQL_SET_CHARSET_NAME, ConnectionCharacterSet);
    if (mysql_real_connect(&Connection, host, user, password, database, 0, nullptr, 0) == nullptr) {
        return recordError();
    }
    QueryResult query(AutocommitOff);
    executeStatement(query);
    return 0;
}

// Sends one statement and stores its whole result on the client.
int32_t executeStatement(QueryResult& query) {
    freeResult(query);
    query.rowsFetched = 0;
    if (!ConnectionInitialised) return -1;
    if (mysql_real_query(&Connection, query.statement, strlen(query.statement)) != 0) {
        return recordError();
    }
    query.result = mysql_store_result(&Connection);
    if (recordError() != 0) return -1;
    if (query.result == nullptr) mysql_field_count(&Connection);
    return 0;
}

// Delivers the next row of a stored result; EndOfRows after the last one.
int32_t fetchRow(QueryResult& query, MYSQL_ROW* row) {
    if (query.result == nullptr) return -1;
    if (static_cast<uint64_t>(query.rowsFetched) >= mysql_num_rows(query.result)) return EndOfRows;
    *row = mysql_fetch_row(query.result);
    if (recordError() != 0) return -1;
    query.rowsFetched++;
    return 0;
}

int32_t freeResult(QueryResult& query) {
    if (query.result == nullptr) return -1;
    mysql_free_result(query.result);
    query.result = nullptr;
    query.rowsFetched = 0;
    return 0;
}

// Rows changed by the last statement (not rows matched: the connection is
// opened without the found-rows flag).
uint64_t affectedRows() {
    if (!ConnectionInitialised) return 0;
    return mysql_affected_rows(&Connection);
}

// Commits the run's one transaction; 1 on success, 0 on failure.
int commitWork() {
    QueryResult query(Commit);
    return executeStatement(query) == 0 ? 1 : 0;
}

// The server's date and time as "dd.mm.yyyy hh:mm:ss" into target (room for
// ServerDateTimeSize bytes); target stays unchanged when the query fails.
int32_t queryServerDate(char* target) {
    QueryResult query(ServerDateQuery);
    int32_t result = executeStatement(query);
    if (result != 0) return result;
    MYSQL_ROW row = nullptr;
    result = fetchRow(query, &row);
    if (result == 0 && row != nullptr && row[0] != nullptr) {
        strncpy(target, row[0], ServerDateTimeSize - 1);
        target[ServerDateTimeSize - 1] = '\0';
    }
    freeResult(query);
    return result;
}

int32_t lastErrorNumber() {
    return LastErrorNumber;
}

// The one way a value enters a statement between apostrophes: the client
// library escapes it for the connection's character set, so apostrophes,
// backslashes and every other byte arrive at the server as they stand.
long escapeSqlValue(char* target, size_t capacity, std::string_view value) {
    if (capacity < 2 * value.size() + 1) return -1;
    if (!ConnectionInitialised) return -1;
    return static_cast<long>(
        mysql_real_escape_string(&Connection, target, value.data(), static_cast<unsigned long>(value.size())));
}
