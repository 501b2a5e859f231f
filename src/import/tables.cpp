#include "import/tables.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "db/connection.h"

const char* const TableRightNames[TableRightCount] = {"SELECT", "INSERT", "UPDATE", "DELETE"};

namespace {

constexpr size_t AnswerRoom = 64;

// The two columns of the question: the engine's TRANSACTIONS (or "none"
// for a table that is not there) and the engine's name.
struct TableAnswer {
    char transactions[AnswerRoom];
    char engine[AnswerRoom];
};

void takeTableAnswer(int column, const char* bytes, size_t length, void* context) {
    auto* answer = static_cast<TableAnswer*>(context);
    char* target = column == 0 ? answer->transactions : column == 1 ? answer->engine : nullptr;
    if (target == nullptr || bytes == nullptr) return;
    snprintf(target, AnswerRoom, "%.*s", static_cast<int>(length), bytes);
}

}  // namespace

TableState queryTableState(const char* table, char* engine, size_t engineSize) {
    char query[384];
    snprintf(query, sizeof query,
             "SELECT COALESCE(MAX(e.TRANSACTIONS), 'none'), MAX(t.ENGINE) FROM information_schema.TABLES t "
             "LEFT JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
             "WHERE t.TABLE_SCHEMA = 'RURUVURO' AND t.TABLE_NAME = '%s'",
             table);
    TableAnswer answer = {};
    if (engineSize > 0) engine[0] = '\0';
    if (queryFirstRow(query, takeTableAnswer, &answer) != 0) return TableState::Unknown;
    if (engineSize > 0) snprintf(engine, engineSize, "%s", answer.engine);
    if (strcmp(answer.transactions, "none") == 0) return TableState::Missing;
    return strcmp(answer.transactions, "NO") == 0 ? TableState::NotTransactional : TableState::Transactional;
}

unsigned rightsNeeded(unsigned tableWrites) {
    unsigned rights = 0;
    if (tableWrites & DeletesAll) rights |= RightDelete;
    if (tableWrites & MarksAll) rights |= RightUpdate;
    if (tableWrites & Inserts) rights |= RightInsert;
    if (tableWrites & UpdatesByKey) rights |= RightUpdate | RightSelect;
    if (tableWrites & SweepsMarked) rights |= RightDelete | RightSelect;
    return rights;
}

namespace {

void takeRight(const char* const* columns, const unsigned long* lengths, unsigned count, void* context) {
    auto* rights = static_cast<unsigned*>(context);
    if (count < 1 || columns[0] == nullptr) return;
    std::string_view name(columns[0], lengths[0]);
    for (int i = 0; i < TableRightCount; ++i) {
        if (name == TableRightNames[i]) *rights |= 1u << i;
    }
}

}  // namespace

// The views list grantees as 'user'@'host'; CURRENT_USER() gives user@host.
int32_t queryTableRights(const char* table, unsigned& rights) {
    char query[1024];
    snprintf(query, sizeof query,
             "SELECT DISTINCT PRIVILEGE_TYPE FROM ("
             "SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.USER_PRIVILEGES "
             "UNION ALL SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.SCHEMA_PRIVILEGES "
             "WHERE 'RURUVURO' LIKE TABLE_SCHEMA "
             "UNION ALL SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.TABLE_PRIVILEGES "
             "WHERE TABLE_SCHEMA = 'RURUVURO' AND TABLE_NAME = '%s') AS granted "
             "WHERE GRANTEE = CONCAT('''', REPLACE(CURRENT_USER(), '@', '''@'''), '''')",
             table);
    rights = 0;
    return queryRows(query, takeRight, &rights);
}
