#include "import/rowkey.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "db/connection.h"

namespace {

constexpr int ByteValues = 256;
constexpr size_t MaxWeightBytes = 8;
constexpr size_t NameRoom = 65;
constexpr const char* SchemaName = "RURUVURO";

// The weights of the 256 single bytes under one collation.
struct WeightTable {
    unsigned char weight[ByteValues][MaxWeightBytes];
    unsigned char length[ByteValues];
};

WeightTable KeyWeights[MaxKeyFields];
char KeyCollations[MaxKeyFields][2 * NameRoom];   // "charset collation" of each table

// Collations that give every single character exactly one weight, looked
// up from its own byte alone: no expansions (ß = ss), no contractions.
bool weighsCharactersAlone(std::string_view collation) {
    static const char* const Singles[] = {
        "latin1_swedish_ci", "latin1_swedish_nopad_ci", "latin1_german1_ci",
        "latin1_general_ci", "latin1_general_cs",
    };
    for (const char* name : Singles) {
        if (collation == name) return true;
    }
    auto endsWith = [collation](std::string_view tail) {
        return collation.size() > tail.size() && collation.substr(collation.size() - tail.size()) == tail;
    };
    return endsWith("_bin") || endsWith("_general_ci") || endsWith("_general_nopad_ci");
}

bool isTextType(std::string_view type) {
    static const char* const Texts[] = {"char", "varchar", "tinytext", "text", "mediumtext", "longtext"};
    for (const char* name : Texts) {
        if (type == name) return true;
    }
    return false;
}

// Names from the server go into the next query: only letters, digits and
// underscores are taken.
bool isPlainName(const char* name) {
    if (name[0] == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return false;
    }
    return true;
}

// The columns of a query's first row as texts (NULL as empty).
struct TextColumns {
    char value[3][NameRoom];
};

void takeTextColumn(int column, const char* bytes, size_t length, void* context) {
    auto* columns = static_cast<TextColumns*>(context);
    if (column < 0 || column >= 3) return;
    size_t n = bytes != nullptr && length < NameRoom ? length : 0;
    if (n > 0) memcpy(columns->value[column], bytes, n);
    columns->value[column][n] = '\0';
}

// Type, character set and collation of one key column.
bool readColumnCollation(const char* table, const char* column, TextColumns& columns) {
    char query[512];
    snprintf(query, sizeof query,
             "SELECT DATA_TYPE, CHARACTER_SET_NAME, COLLATION_NAME FROM information_schema.COLUMNS "
             "WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' AND COLUMN_NAME = '%s'",
             SchemaName, table, column);
    memset(&columns, 0, sizeof columns);
    return queryFirstRow(query, takeTextColumn, &columns) == 0;
}

void takeWeight(int column, const char* bytes, size_t length, void* context) {
    auto* table = static_cast<WeightTable*>(context);
    if (column < 0 || column >= ByteValues) return;
    // A weight longer than the room is kept as far as it goes: two bytes
    // that then look alike only end a window early.
    size_t n = bytes != nullptr ? (length < MaxWeightBytes ? length : MaxWeightBytes) : 0;
    if (n > 0) memcpy(table->weight[column], bytes, n);
    table->length[column] = static_cast<unsigned char>(n);
}

// One query for the weights of all 256 bytes, each converted from latin1
// (the connection's character set) to the column's.
bool readWeights(const char* charset, const char* collation, WeightTable& table) {
    std::string query = "SELECT ";
    char term[160];
    for (int b = 0; b < ByteValues; ++b) {
        snprintf(term, sizeof term, "%sWEIGHT_STRING(CONVERT(_latin1 X'%02X' USING %s) COLLATE %s)",
                 b == 0 ? "" : ", ", b, charset, collation);
        query += term;
    }
    memset(&table, 0, sizeof table);
    return queryFirstRow(query.c_str(), takeWeight, &table) == 0;
}

// The weight table of key column index: the table of an earlier column with
// the same character set and collation, or read from the server.
bool weightsFor(int index, const char* charset, const char* collation) {
    snprintf(KeyCollations[index], sizeof KeyCollations[index], "%s %s", charset, collation);
    for (int i = 0; i < index; ++i) {
        if (strcmp(KeyCollations[i], KeyCollations[index]) == 0) {
            KeyWeights[index] = KeyWeights[i];
            return true;
        }
    }
    return readWeights(charset, collation, KeyWeights[index]);
}

// Whether a character at the end of a text counts for nothing in the
// comparison: the server pads the shorter text with blanks, so trailing
// characters that weigh as a blank (or weigh nothing) make no difference.
bool weighsAsTrailingBlank(const WeightTable& table, unsigned char b) {
    const unsigned char blank = ' ';
    if (table.length[b] == 0) return true;
    return table.length[b] == table.length[blank] && memcmp(table.weight[b], table.weight[blank], table.length[b]) == 0;
}

}  // namespace

bool prepareRowKeys(const ImportMember& member) {
    if (member.table == nullptr || member.keyCount <= 0 || member.keyCount > MaxKeyFields) return false;
    for (int i = 0; i < member.keyCount; ++i) {
        TextColumns columns;
        if (!readColumnCollation(member.table, member.key[i].column, columns)) return false;
        const char* type = columns.value[0];
        const char* charset = columns.value[1];
        const char* collation = columns.value[2];
        if (!isTextType(type) || !isPlainName(charset) || !isPlainName(collation)) return false;
        if (!weighsCharactersAlone(collation)) return false;
        if (!weightsFor(i, charset, collation)) return false;
    }
    return true;
}

size_t rowKeyText(const ImportMember& member, const RecordRow& row, char* out, size_t capacity) {
    size_t used = 0;
    for (int i = 0; i < member.keyCount; ++i) {
        const WeightTable& table = KeyWeights[i];
        const char* text = row[member.key[i].field];
        size_t length = strlen(text);
        while (length > 0 && weighsAsTrailingBlank(table, static_cast<unsigned char>(text[length - 1]))) length--;
        size_t lengthAt = used;
        if (used + 2 > capacity) return used;
        used += 2;
        for (size_t k = 0; k < length; ++k) {
            unsigned char b = static_cast<unsigned char>(text[k]);
            if (used + table.length[b] > capacity) return used;
            memcpy(out + used, table.weight[b], table.length[b]);
            used += table.length[b];
        }
        size_t columnLength = used - lengthAt - 2;
        out[lengthAt] = static_cast<char>(columnLength >> 8);
        out[lengthAt + 1] = static_cast<char>(columnLength & 0xFF);
    }
    return used;
}
