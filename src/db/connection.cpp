#include "db/connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mysql.h>

#include "db/optionfile.h"

namespace {

// The one connection of the process. It is never closed explicitly: it ends
// with the process, and with it any transaction that was not committed.
MYSQL Connection;
bool ConnectionInitialised = false;
const char* OptionFileFailure = nullptr;   // why the option file ended the connection, or nullptr

constexpr const char* ConnectionCharacterSet = "latin1";
constexpr const char* Commit = "COMMIT";
constexpr const char* Rollback = "ROLLBACK";
constexpr const char* ServerDateQuery = "SELECT date_format(sysdate(), '%d.%m.%Y %H:%i:%s')";
constexpr size_t StatementErrorTextSize = 512;

char StatementErrorText[StatementErrorTextSize] = "";

int32_t errorNumber() {
    return static_cast<int32_t>(mysql_errno(&Connection));
}

// The error number of a failed set-up step; a step that failed without one
// still fails the connection.
int32_t setUpError() {
    int32_t error = errorNumber();
    return error != 0 ? error : ErrorNoCharacterSet;
}

// One stored result, released on every path.
struct StoredResult {
    MYSQL_RES* result = nullptr;
    ~StoredResult() {
        if (result != nullptr) mysql_free_result(result);
    }
};

}  // namespace

// The connection character set is latin1 (Windows-1252 on the server), so the
// single-byte texts of the files are stored as they are. Autocommit off and
// the character set are checked: a connection that would commit every
// statement at once, or convert the bytes, must not import anything.
bool prepareConnection() {
    if (ConnectionInitialised) return true;
    if (mysql_init(&Connection) == nullptr) return false;
    ConnectionInitialised = true;
    mysql_options(&Connection, MYSQL_SET_CHARSET_NAME, ConnectionCharacterSet);
    return true;
}

int32_t dbConnect(const char* user, const char* password, const char* host, const char* database) {
    if (!prepareConnection()) return ErrorNoCharacterSet;
    const OptionFileChoice& options = chooseOptionFile();
    if (options.state == OptionFileState::Refused) {
        OptionFileFailure = options.reason;
        return ErrorOptionFileRefused;
    }
    applyOptionFile(&Connection, options);
    if (mysql_real_connect(&Connection, host, user, password, database, 0, nullptr, 0) == nullptr) {
        return errorNumber();
    }
    OptionFileFailure = sessionFallsShortOf(&Connection, options);
    if (OptionFileFailure != nullptr) return ErrorNotEncrypted;
    if (mysql_autocommit(&Connection, 0) != 0) return setUpError();
    if (strcmp(mysql_character_set_name(&Connection), ConnectionCharacterSet) != 0) return setUpError();
    return 0;
}

void describeEndpoint(const char* host, char* out, size_t size) {
    const OptionFileChoice& options = chooseOptionFile();
    const bool fromFile = options.state == OptionFileState::Used;
    if (host == nullptr || host[0] == '\0' || strcmp(host, "localhost") == 0) {
        const char* socket = getenv("MYSQL_UNIX_PORT");
        if (fromFile && options.socket[0] != '\0') socket = options.socket;
        snprintf(out, size, "local socket %s", socket != nullptr && socket[0] != '\0' ? socket : MARIADB_UNIX_ADDR);
        return;
    }
    const char* port = getenv("MYSQL_TCP_PORT");
    if (fromFile && options.port != 0) {
        snprintf(out, size, "host %s, port %u", host, options.port);
    } else if (port != nullptr && port[0] != '\0') {
        snprintf(out, size, "host %s, port %s", host, port);
    } else {
        snprintf(out, size, "host %s, port %d", host, MARIADB_PORT);
    }
}

void describeOptionFile(char* out, size_t size) {
    const OptionFileChoice& options = chooseOptionFile();
    if (options.state == OptionFileState::None) {
        snprintf(out, size, "none (%s)", options.reason);
    } else {
        snprintf(out, size, "%s", options.path);
    }
}

const char* lastErrorText() {
    if (OptionFileFailure != nullptr) return OptionFileFailure;
    if (!ConnectionInitialised) return "";
    return mysql_error(&Connection);
}

const char* lastStatementErrorText() {
    return StatementErrorText;
}

StatementResult runStatement(const char* text) {
    StatementResult result = {-1, 0, false, 0, -1};
    runStatements(text, strlen(text), &result, 1);
    return result;
}

int32_t commitWork() {
    return runStatement(Commit).code;
}

int32_t rollbackWork() {
    return runStatement(Rollback).code;
}

bool enableMultiStatements() {
    if (!ConnectionInitialised) return false;
    return mysql_set_server_option(&Connection, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
}

// The rows a multi-row statement took, from the server's info text
// ("Records: 3  Duplicates: 1  Warnings: 0", its words in the server's
// language, the records always first), or -1 when it gives none.
long recordsTaken() {
    const char* info = mysql_info(&Connection);
    if (info == nullptr) return -1;
    const char* digits = strpbrk(info, "0123456789");
    return digits != nullptr ? strtol(digits, nullptr, 10) : -1;
}

// A failed statement: its number, and its text kept for the caller.
StatementResult failedResult() {
    snprintf(StatementErrorText, sizeof StatementErrorText, "%s", mysql_error(&Connection));
    return {errorNumber(), 0, false, 0, -1};
}

// The result of the statement just run: a stored result set (none for
// the statements the import sends) is released, the changed rows read.
StatementResult currentResult() {
    StoredResult stored;
    stored.result = mysql_store_result(&Connection);
    if (errorNumber() != 0) return failedResult();
    bool inTransaction = (Connection.server_status & SERVER_STATUS_IN_TRANS) != 0;
    return {0, mysql_affected_rows(&Connection), inTransaction, mysql_warning_count(&Connection), recordsTaken()};
}

namespace {

// A query sent ahead whose sending failed: its result, for readStatements.
StatementResult SendFailure = {-1, 0, false, 0, -1};
bool SendFailed = false;

}  // namespace

int32_t sendStatements(const char* text, size_t length) {
    SendFailed = false;
    if (!ConnectionInitialised) {
        SendFailure = {-1, 0, false, 0, -1};
        SendFailed = true;
        return SendFailure.code;
    }
    if (mysql_send_query(&Connection, text, static_cast<unsigned long>(length)) != 0) {
        SendFailure = failedResult();
        SendFailed = true;
        return SendFailure.code;
    }
    return 0;
}

int readStatements(StatementResult* results, int capacity) {
    if (capacity <= 0) return 0;
    if (SendFailed) {
        SendFailed = false;
        results[0] = SendFailure;
        return 1;
    }
    if (mysql_read_query_result(&Connection) != 0) {
        results[0] = failedResult();
        return 1;
    }
    int count = 0;
    for (;;) {
        results[count++] = currentResult();
        if (results[count - 1].code != 0 || count == capacity) break;
        int next = mysql_next_result(&Connection);
        if (next < 0) break;
        if (next > 0) {
            results[count++] = failedResult();
            break;
        }
    }
    // A query that held more statements than there was room for: the rest
    // are read and dropped, so the connection stays usable.
    while (mysql_more_results(&Connection) && mysql_next_result(&Connection) == 0) {
        StoredResult dropped;
        dropped.result = mysql_store_result(&Connection);
    }
    return count;
}

int runStatements(const char* text, size_t length, StatementResult* results, int capacity) {
    if (capacity <= 0) return 0;
    sendStatements(text, length);
    return readStatements(results, capacity);
}

namespace {

// Sends a query whose rows the caller reads, and takes its result: stored
// whole, or streamed row by row. nullptr with the error number (-1 when
// there is none) in error.
MYSQL_RES* sendQuery(const char* query, bool streamed, int32_t& error) {
    error = -1;
    if (!ConnectionInitialised) return nullptr;
    if (mysql_real_query(&Connection, query, strlen(query)) != 0) {
        error = errorNumber();
        return nullptr;
    }
    MYSQL_RES* result = streamed ? mysql_use_result(&Connection) : mysql_store_result(&Connection);
    if (result == nullptr && errorNumber() != 0) error = errorNumber();
    return result;
}

}  // namespace

int32_t queryFirstRow(const char* query, ColumnTaker take, void* context) {
    int32_t error = 0;
    StoredResult stored;
    stored.result = sendQuery(query, false, error);
    if (stored.result == nullptr) return error;
    MYSQL_ROW row = mysql_fetch_row(stored.result);
    if (row == nullptr) return -1;
    unsigned long* lengths = mysql_fetch_lengths(stored.result);
    unsigned columns = mysql_num_fields(stored.result);
    for (unsigned i = 0; i < columns; ++i) take(static_cast<int>(i), row[i], row[i] != nullptr ? lengths[i] : 0, context);
    return 0;
}

// The rows travel one by one (mysql_use_result): a table's worth of rows
// never has to fit in memory at once.
int32_t queryRows(const char* query, RowTaker take, void* context) {
    int32_t error = 0;
    StoredResult streamed;
    streamed.result = sendQuery(query, true, error);
    if (streamed.result == nullptr) return error;
    const unsigned columns = mysql_num_fields(streamed.result);
    while (MYSQL_ROW row = mysql_fetch_row(streamed.result)) {
        take(row, mysql_fetch_lengths(streamed.result), columns, context);
    }
    return errorNumber();
}

namespace {

// The first column of a one-value query, as text.
struct SingleValue {
    char* target;
    size_t size;
    bool taken;
};

void takeFirstColumn(int column, const char* bytes, size_t length, void* context) {
    auto* value = static_cast<SingleValue*>(context);
    if (column != 0 || bytes == nullptr) return;
    snprintf(value->target, value->size, "%.*s", static_cast<int>(length), bytes);
    value->taken = true;
}

}  // namespace

int32_t querySingleValue(const char* query, char* target, size_t targetSize) {
    SingleValue value = {target, targetSize, false};
    int32_t result = queryFirstRow(query, takeFirstColumn, &value);
    return result == 0 && !value.taken ? -1 : result;
}

int32_t queryServerDate(char* target) {
    return querySingleValue(ServerDateQuery, target, ServerDateTimeSize);
}

int32_t askTransactionOpen(bool& open) {
    StatementResult result = runStatement("DO 0");
    if (result.code == 0) open = result.inTransaction;
    return result.code;
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
