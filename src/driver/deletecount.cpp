#include "driver/deletecount.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/connection.h"
#include "import/statement.h"

namespace {

constexpr const char* SchemaName = "RURUVURO";
constexpr const char* KeyCopyPrefix = "kelvora_guard_keys_";
// The copy needs no transactions and no index (the table's own primary key
// answers the question after the run): the plain engine writes it several
// times faster than the default. A server that refuses it gets the default.
constexpr const char* CopyEngine = "MyISAM";
constexpr int32_t ErrorUnknownEngine = 1286;
constexpr int32_t ErrorEngineDisabled = 4161;
constexpr size_t NumberRoom = 32;
constexpr size_t LevelRoom = 32;
constexpr const char* ReadCommitted = "READ COMMITTED";

constexpr size_t ErrorTextRoom = 512;

// Per slot: the primary key's columns as identifiers; empty when the slot
// counts rows only.
std::vector<std::string> KeyColumns[MaxCountedTables];
// The server's text for the last count that failed.
char ErrorText[ErrorTextRoom] = "";

// Keeps the server's text of a failure before later statements replace it.
int32_t keepError(int32_t code, const char* text) {
    if (code != 0) snprintf(ErrorText, sizeof ErrorText, "%s", text);
    return code;
}

std::string tableName(const char* table) {
    return std::string(SchemaName) + "." + table;
}

std::string keyCopy(int slot) {
    return std::string(SchemaName) + "." + KeyCopyPrefix + std::to_string(slot);
}

void takeKeyColumn(const char* const* columns, const unsigned long* lengths, unsigned count, void* context) {
    if (count < 1 || columns[0] == nullptr) return;
    static_cast<std::vector<std::string>*>(context)->push_back(quotedIdentifier(std::string_view(columns[0], lengths[0])));
}

// The columns of the table's primary key, in the key's order.
int32_t readKeyColumns(const char* table, std::vector<std::string>& columns) {
    char query[512];
    snprintf(query, sizeof query,
             "SELECT COLUMN_NAME FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' "
             "AND INDEX_NAME = 'PRIMARY' ORDER BY SEQ_IN_INDEX",
             SchemaName, escapedSqlText(table).c_str());
    columns.clear();
    return keepError(queryRows(query, takeKeyColumn, &columns), lastErrorText());
}

void takeNumbers(int column, const char* bytes, size_t length, void* context) {
    auto* numbers = static_cast<long long*>(context);
    char text[NumberRoom] = "";
    if (column < 0 || column > 1 || bytes == nullptr || length >= sizeof text) return;
    memcpy(text, bytes, length);
    numbers[column] = strtoll(text, nullptr, 10);
}

// A query of one or two whole numbers; -1 stays where none came.
int32_t queryNumbers(const std::string& query, long long* numbers) {
    numbers[0] = numbers[1] = -1;
    int32_t result = keepError(queryFirstRow(query.c_str(), takeNumbers, numbers), lastErrorText());
    return result == 0 && numbers[0] < 0 ? keepError(-1, "no count came back") : result;
}

// The session's isolation level in the words of SET TRANSACTION
// ("REPEATABLE READ"); empty when the server does not say.
std::string isolationLevel() {
    char level[LevelRoom] = "";
    if (querySingleValue("SELECT @@SESSION.tx_isolation", level, sizeof level) != 0 &&
        querySingleValue("SELECT @@SESSION.transaction_isolation", level, sizeof level) != 0) {
        return "";
    }
    for (char* c = level; *c != '\0'; ++c) {
        if (*c == '-') *c = ' ';
    }
    return level;
}

// Runs a statement of the counting; a failure's text is kept.
StatementResult runCounting(const std::string& text) {
    StatementResult result = runStatement(text.c_str());
    keepError(result.code, lastStatementErrorText());
    return result;
}

int32_t setIsolation(const std::string& level) {
    return runCounting("SET SESSION TRANSACTION ISOLATION LEVEL " + level).code;
}

// Whether the session is back as the run needs it: autocommit off, its own
// isolation level. 0, or -1 with the reason kept.
int32_t sessionAsBefore(const std::string& level) {
    char autocommit[LevelRoom] = "";
    const int32_t asked = querySingleValue("SELECT @@SESSION.autocommit", autocommit, sizeof autocommit);
    if (asked != 0) return keepError(asked, lastErrorText());
    if (strcmp(autocommit, "0") != 0) return keepError(-1, "autocommit could not be switched off again");
    if (isolationLevel() != level) return keepError(-1, "the session's isolation level could not be set back");
    return 0;
}

// The copy is a statement of its own, committed at once, before the run's
// transaction begins, for two reasons. Inside a transaction a write to a
// table without transactions marks the transaction as one that cannot be
// undone, and the server would then never choose the run as the one to
// roll back in a deadlock. And at the levels above READ COMMITTED,
// CREATE TEMPORARY TABLE ... SELECT reads with shared locks: it would wait
// for, and block, rows that the run itself may never touch. At READ
// COMMITTED it is a consistent read of what is committed, which is the table
// as the run's first statement finds it. The session's own level and
// autocommit off are back for the run's statements, or the run does not
// start.
StatementResult copyKeys(int slot, const char* table) {
    std::string columns;
    for (const std::string& column : KeyColumns[slot]) columns += (columns.empty() ? "" : ", ") + column;
    const std::string select = " SELECT " + columns + " FROM " + tableName(table);
    const std::string create = "CREATE TEMPORARY TABLE " + keyCopy(slot);
    const std::string level = isolationLevel();
    StatementResult copied = {};
    if (level.empty()) {
        copied.code = keepError(-1, "the session's isolation level cannot be read");
        return copied;
    }
    copied.code = setIsolation(ReadCommitted);
    if (copied.code == 0) copied.code = runCounting("SET autocommit = 1").code;
    if (copied.code == 0) {
        copied = runCounting(create + " ENGINE=" + CopyEngine + select);
        if (copied.code == ErrorUnknownEngine || copied.code == ErrorEngineDisabled) copied = runCounting(create + select);
    }
    const int32_t transaction = runCounting("SET autocommit = 0").code;
    const int32_t restored = setIsolation(level);
    if (copied.code == 0) copied.code = transaction != 0 ? transaction : restored;
    if (copied.code == 0) copied.code = sessionAsBefore(level);
    return copied;
}

}  // namespace

int32_t countBefore(int slot, const char* table, CountBy by, TableCount& count) {
    KeyColumns[slot].clear();
    if (by == CountBy::Keys) {
        const int32_t result = readKeyColumns(table, KeyColumns[slot]);
        if (result != 0) return result;
    }
    if (KeyColumns[slot].empty()) {
        long long numbers[2];
        const int32_t result = queryNumbers("SELECT COUNT(*) FROM " + tableName(table), numbers);
        count.before = numbers[0];
        return result;
    }
    const StatementResult copied = copyKeys(slot, table);
    count.before = static_cast<long long>(copied.affected);
    return copied.code;
}

int32_t countAfter(int slot, const char* table, TableCount& count) {
    const std::string source = tableName(table);
    std::string query = "SELECT (SELECT COUNT(*) FROM " + source + ")";
    const std::vector<std::string>& key = KeyColumns[slot];
    if (!key.empty()) {
        // A key of before without a row now is gone; a column of a primary
        // key is never NULL.
        std::string match;
        for (const std::string& column : key) match += (match.empty() ? "" : " AND ") + ("t." + column + " = b." + column);
        query += ", (SELECT COUNT(*) FROM " + keyCopy(slot) + " b LEFT JOIN " + source + " t ON " + match + " WHERE t." +
                 key[0] + " IS NULL)";
    }
    long long numbers[2];
    const int32_t result = queryNumbers(query, numbers);
    if (result != 0) return result;
    if (!key.empty() && numbers[1] < 0) return keepError(-1, "no count came back");
    count.after = numbers[0];
    count.deleted = !key.empty() ? numbers[1] : count.before > count.after ? count.before - count.after : 0;
    return 0;
}

const char* countErrorText() {
    return ErrorText;
}
