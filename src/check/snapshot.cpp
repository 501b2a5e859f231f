#include "check/snapshot.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "db/connection.h"
#include "import/statement.h"

namespace {

struct ColumnLists {
    std::vector<std::string> all;
    std::vector<std::string> key;
};

void takeColumn(const char* const* columns, const unsigned long* lengths, unsigned count, void* context) {
    auto* lists = static_cast<ColumnLists*>(context);
    if (count < 2 || columns[0] == nullptr) return;
    std::string name = quotedIdentifier(std::string_view(columns[0], lengths[0]));
    if (columns[1] != nullptr && lengths[1] > 0) lists->key.push_back(name);
    lists->all.push_back(name);
}

// The table's columns, and which of them form its primary key. The
// columns outside the key come first (their SEQ_IN_INDEX is NULL), then
// the key's in its order, which the key digest follows.
int32_t readColumns(const char* table, ColumnLists& lists) {
    char query[640];
    snprintf(query, sizeof query,
             "SELECT c.COLUMN_NAME, s.SEQ_IN_INDEX FROM information_schema.COLUMNS c "
             "LEFT JOIN information_schema.STATISTICS s ON s.TABLE_SCHEMA = c.TABLE_SCHEMA "
             "AND s.TABLE_NAME = c.TABLE_NAME AND s.COLUMN_NAME = c.COLUMN_NAME AND s.INDEX_NAME = 'PRIMARY' "
             "WHERE c.TABLE_SCHEMA = 'RURUVURO' AND c.TABLE_NAME = '%s' ORDER BY s.SEQ_IN_INDEX, c.ORDINAL_POSITION",
             table);
    int32_t result = queryRows(query, takeColumn, &lists);
    if (result != 0) return result;
    return lists.all.empty() ? -1 : 0;
}

// The digest of several values joined: each value's expression, NULL as N.
std::string digestOf(const std::vector<std::string>& parts) {
    std::string text = "UNHEX(MD5(CONCAT_WS(','";
    for (const std::string& part : parts) text += ", IFNULL(" + part + ", 'N')";
    return text + ")))";
}

// The digest query: a key part weighs each key column as its collation
// does, trailing blanks left out; a content part is the MD5 of the value's
// own bytes.
std::string digestQuery(const char* table, const ColumnLists& lists) {
    std::vector<std::string> keyParts;
    for (const std::string& column : lists.key) keyParts.push_back("HEX(WEIGHT_STRING(RTRIM(" + column + ")))");
    std::vector<std::string> rowParts;
    for (const std::string& column : lists.all) rowParts.push_back("MD5(" + column + ")");
    std::string row = digestOf(rowParts);
    std::string key = lists.key.empty() ? row : digestOf(keyParts);
    return "SELECT " + key + ", " + row + " FROM RURUVURO.`" + table + "`";
}

void takeDigest(const char* const* columns, const unsigned long* lengths, unsigned count, void* context) {
    auto* rows = static_cast<std::vector<RowDigest>*>(context);
    RowDigest digest = {};
    if (count >= 2 && columns[0] != nullptr && lengths[0] == DigestBytes) memcpy(digest.key, columns[0], DigestBytes);
    if (count >= 2 && columns[1] != nullptr && lengths[1] == DigestBytes) memcpy(digest.row, columns[1], DigestBytes);
    rows->push_back(digest);
}

bool digestBefore(const RowDigest& a, const RowDigest& b) {
    int byKey = memcmp(a.key, b.key, DigestBytes);
    return byKey != 0 ? byKey < 0 : memcmp(a.row, b.row, DigestBytes) < 0;
}

}  // namespace

int32_t takeSnapshot(const char* table, TableSnapshot& snapshot) {
    if (snapshot.query.empty()) {
        ColumnLists lists;
        int32_t result = readColumns(table, lists);
        if (result != 0) return result;
        snapshot.keyed = !lists.key.empty();
        snapshot.query = digestQuery(table, lists);
    }
    snapshot.rows.clear();
    int32_t result = queryRows(snapshot.query.c_str(), takeDigest, &snapshot.rows);
    std::sort(snapshot.rows.begin(), snapshot.rows.end(), digestBefore);
    return result;
}

TableChanges compareSnapshots(const TableSnapshot& before, const TableSnapshot& after) {
    TableChanges changes;
    size_t b = 0;
    size_t a = 0;
    while (b < before.rows.size() || a < after.rows.size()) {
        int order = b == before.rows.size()  ? 1
                    : a == after.rows.size() ? -1
                                             : memcmp(before.rows[b].key, after.rows[a].key, DigestBytes);
        if (order < 0) {
            changes.deleted++;
            b++;
        } else if (order > 0) {
            changes.inserted++;
            a++;
        } else {
            if (memcmp(before.rows[b].row, after.rows[a].row, DigestBytes) != 0) changes.changed++;
            b++;
            a++;
        }
    }
    return changes;
}
