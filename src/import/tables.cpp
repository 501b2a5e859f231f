#include "import/tables.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "import/statement.h"

const char* const TableRightNames[TableRightCount] = {"SELECT", "INSERT", "UPDATE", "DELETE"};

unsigned rightsNeeded(unsigned tableWrites) {
    unsigned rights = 0;
    if (tableWrites & DeletesAll) rights |= RightDelete;
    if (tableWrites & MarksAll) rights |= RightUpdate;
    if (tableWrites & Inserts) rights |= RightInsert;
    if (tableWrites & UpdatesByKey) rights |= RightUpdate | RightSelect;
    if (tableWrites & SweepsMarked) rights |= RightDelete | RightSelect;
    return rights;
}

unsigned tableWritesOf(const ImportMember& member, int other, WriteMode mode) {
    if (other >= 0) return member.otherTableWrites[other];
    return mode == WriteMode::Update && member.updateTableWrites != 0 ? member.updateTableWrites : member.tableWrites;
}

namespace {

constexpr const char* MembersSchema = "RURUVURO";

void takeRight(const char* const* columns, const unsigned long* lengths, unsigned count, void* context) {
    auto* rights = static_cast<unsigned*>(context);
    if (count < 1 || columns[0] == nullptr) return;
    std::string_view name(columns[0], lengths[0]);
    for (int i = 0; i < TableRightCount; ++i) {
        if (name == TableRightNames[i]) *rights |= 1u << i;
    }
}

}  // namespace

int32_t queryTableRights(const char* table, unsigned& rights) {
    return queryTableRightsIn(MembersSchema, table, rights);
}

// The views list grantees as 'user'@'host'; CURRENT_USER() gives user@host.
int32_t queryTableRightsIn(const char* schema, const char* table, unsigned& rights) {
    const std::string schemaText = escapedSqlText(schema);
    const std::string tableText = escapedSqlText(table);
    char query[1024];
    snprintf(query, sizeof query,
             "SELECT DISTINCT PRIVILEGE_TYPE FROM ("
             "SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.USER_PRIVILEGES "
             "UNION ALL SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.SCHEMA_PRIVILEGES "
             "WHERE '%s' LIKE TABLE_SCHEMA "
             "UNION ALL SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.TABLE_PRIVILEGES "
             "WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s') AS granted "
             "WHERE GRANTEE = CONCAT('''', REPLACE(CURRENT_USER(), '@', '''@'''), '''')",
             schemaText.c_str(), schemaText.c_str(), tableText.c_str());
    rights = 0;
    return queryRows(query, takeRight, &rights);
}
