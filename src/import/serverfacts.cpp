#include "import/serverfacts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/connection.h"
#include "import/statement.h"

namespace {

constexpr const char* SchemaName = "RURUVURO";
constexpr int FactColumns = 5;
constexpr size_t FactRoom = 32;
constexpr size_t QueryRoom = 2048;
constexpr int KnownTables = 8;

// The compound statement that carries an insert after its update in a
// window; asked once with a condition that never holds, so nothing runs.
constexpr const char* ConditionalInsertProbe =
    "IF 1 = 0 THEN BEGIN NOT ATOMIC DECLARE CONTINUE HANDLER FOR 1062 BEGIN END; DO 0; END; END IF";

// The first row of a query as short texts (NULL as empty).
struct Columns {
    char value[FactColumns][FactRoom];
};

void takeColumn(int column, const char* bytes, size_t length, void* context) {
    auto* columns = static_cast<Columns*>(context);
    if (column < 0 || column >= FactColumns) return;
    size_t n = bytes != nullptr && length < FactRoom ? length : 0;
    if (n > 0) memcpy(columns->value[column], bytes, n);
    columns->value[column][n] = '\0';
}

bool firstRow(const char* query, Columns& columns) {
    memset(&columns, 0, sizeof columns);
    return queryFirstRow(query, takeColumn, &columns) == 0;
}

long number(const char* text) {
    return strtol(text, nullptr, 10);
}

// 'A', 'B', ... for an IN list of column names (the members' own constants).
std::string columnList(const KeyField* columns, int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        list += i == 0 ? "'" : ", '";
        list += columns[i].column;
        list += "'";
    }
    return list;
}

// The record field's width for a row field of the member's layout.
int fieldWidth(const ImportMember& member, int field) {
    for (int i = 0; i < member.fieldCount; ++i) {
        if (member.layout[i].target == field) return member.layout[i].width;
    }
    return 0;
}

bool isTextType(const char* type) {
    static const char* const Texts[] = {"char", "varchar", "binary", "varbinary", "tinytext", "text",
                                        "mediumtext", "longtext", "tinyblob", "blob", "mediumblob", "longblob"};
    for (const char* name : Texts) {
        if (strcmp(type, name) == 0) return true;
    }
    return false;
}

}  // namespace

SessionFacts readSessionFacts() {
    SessionFacts facts;
    char mode[1024] = "";
    if (querySingleValue("SELECT @@SESSION.sql_mode", mode, sizeof mode) == 0) {
        facts.strict = strstr(mode, "STRICT_TRANS_TABLES") != nullptr || strstr(mode, "STRICT_ALL_TABLES") != nullptr;
    }
    char rollback[16] = "";
    if (querySingleValue("SELECT @@innodb_rollback_on_timeout", rollback, sizeof rollback) == 0) {
        facts.rollbackOnTimeout = strcmp(rollback, "0") != 0;
    }
    facts.conditionalInsert = runStatement(ConditionalInsertProbe).code == 0;
    facts.noWaitStatements = runStatement((std::string(NoWaitPrefix) + "DO 0").c_str()).code == 0;
    return facts;
}

TableFacts queryTableFactsIn(const char* schema, const char* table) {
    const std::string schemaText = escapedSqlText(schema);
    const std::string tableText = escapedSqlText(table);
    const char* s = schemaText.c_str();
    const char* t = tableText.c_str();
    char query[QueryRoom];
    snprintf(query, sizeof query,
             "SELECT (SELECT COALESCE(MAX(e.TRANSACTIONS), 'none') FROM information_schema.TABLES t "
             "LEFT JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
             "WHERE t.TABLE_SCHEMA = '%s' AND t.TABLE_NAME = '%s'), "
             "(SELECT COUNT(*) FROM information_schema.TRIGGERS "
             "WHERE EVENT_OBJECT_SCHEMA = '%s' AND EVENT_OBJECT_TABLE = '%s'), "
             "(SELECT COUNT(*) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' "
             "AND (EXTRA LIKE '%%auto_increment%%' OR COLUMN_DEFAULT LIKE '%%nextval(%%')), "
             "(SELECT COUNT(*) FROM information_schema.KEY_COLUMN_USAGE WHERE REFERENCED_TABLE_NAME IS NOT NULL "
             "AND ((TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s') "
             "OR (REFERENCED_TABLE_SCHEMA = '%s' AND REFERENCED_TABLE_NAME = '%s')))",
             s, t, s, t, s, t, s, t, s, t);
    TableFacts facts;
    Columns columns;
    if (!firstRow(query, columns)) return facts;
    facts.known = true;
    facts.exists = strcmp(columns.value[0], "none") != 0;
    facts.transactional = strcmp(columns.value[0], "YES") == 0;
    facts.triggers = number(columns.value[1]) != 0;
    facts.autoIncrement = number(columns.value[2]) != 0;
    facts.foreignKeys = number(columns.value[3]) != 0;
    return facts;
}

int32_t queryTableEngineIn(const char* schema, const char* table, char* engine, size_t size) {
    char query[QueryRoom];
    snprintf(query, sizeof query,
             "SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s'",
             escapedSqlText(schema).c_str(), escapedSqlText(table).c_str());
    return querySingleValue(query, engine, size);
}

TableFacts readTableFacts(const char* table) {
    // A run asks about the few tables of its member several times; their
    // definitions do not change while it runs.
    struct Known {
        const char* table;
        TableFacts facts;
    };
    static Known known[KnownTables];
    static int count = 0;
    for (int i = 0; i < count; ++i) {
        if (strcmp(known[i].table, table) == 0) return known[i].facts;
    }
    TableFacts facts = queryTableFactsIn(SchemaName, table);
    if (count < KnownTables && facts.known) known[count++] = {table, facts};
    return facts;
}

bool onlyUniqueIndexIs(const char* table, const KeyField* columns, int count) {
    char query[QueryRoom];
    snprintf(query, sizeof query,
             "SELECT COUNT(DISTINCT INDEX_NAME), COALESCE(SUM(COLUMN_NAME IN (%s) AND SUB_PART IS NULL), 0), "
             "COUNT(*) FROM information_schema.STATISTICS "
             "WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' AND NON_UNIQUE = 0",
             columnList(columns, count).c_str(), SchemaName, table);
    Columns result;
    if (!firstRow(query, result)) return false;
    return number(result.value[0]) == 1 && number(result.value[1]) == count && number(result.value[2]) == count;
}

bool keyColumnsHoldTheirFields(const ImportMember& member, const KeyField* columns, int count, char* reason,
                               size_t reasonSize) {
    for (int i = 0; i < count; ++i) {
        char query[QueryRoom];
        snprintf(query, sizeof query,
                 "SELECT DATA_TYPE, COALESCE(CHARACTER_MAXIMUM_LENGTH, 0), COALESCE(COLLATION_NAME, '') "
                 "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' AND COLUMN_NAME = '%s'",
                 SchemaName, member.table, columns[i].column);
        Columns result;
        if (!firstRow(query, result)) {
            snprintf(reason, reasonSize, "its key column %s could not be looked up", columns[i].column);
            return false;
        }
        if (!isTextType(result.value[0])) continue;
        if (strcmp(result.value[0], "char") == 0 && strstr(result.value[2], "_nopad_") != nullptr) {
            snprintf(reason, reasonSize, "its key column %s is CHAR with a NO PAD collation", columns[i].column);
            return false;
        }
        const long room = number(result.value[1]);
        const int width = fieldWidth(member, columns[i].field);
        if (room < width) {
            snprintf(reason, reasonSize, "its key column %s holds %ld characters, fewer than its field's %d",
                     columns[i].column, room, width);
            return false;
        }
    }
    return true;
}
