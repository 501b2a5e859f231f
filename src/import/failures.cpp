#include "import/failures.h"

#include <cstdio>
#include <cstring>

#include "common/textfile.h"
#include "import/recordcut.h"

namespace {

constexpr const char* KeySeparator = " / ";

FailedRecord Kept[KeptFailedRecords];
int KeptCount = 0;
bool KeysWanted = false;

// Appends text to the key, cut off where the key is full.
void appendToKey(char* key, const char* text) {
    const size_t used = strlen(key);
    snprintf(key + used, FailureKeySize - used, "%s", text);
}

// The key text of one record's row.
void fillKey(const ImportMember& member, const RecordRow& row, char* key) {
    key[0] = '\0';
    if (member.keyCount > 0) {
        for (int i = 0; i < member.keyCount; ++i) {
            if (i > 0) appendToKey(key, KeySeparator);
            appendToKey(key, row[member.key[i].field]);
        }
        return;
    }
    if (member.failureField >= 0) {
        appendToKey(key, row[member.failureField]);
    } else if (member.fieldCount > 0) {
        appendToKey(key, row[member.layout[0].target]);
    }
}

}  // namespace

void keepFailedRecord(long line, int32_t code, const char* serverText) {
    if (KeptCount >= KeptFailedRecords) return;
    FailedRecord& record = Kept[KeptCount++];
    record.line = line;
    record.code = code;
    snprintf(record.text, sizeof record.text, "%s", serverText != nullptr ? serverText : "");
    record.key[0] = '\0';
}

int keptFailedRecordCount() {
    return KeptCount;
}

const FailedRecord& keptFailedRecord(int index) {
    return Kept[index];
}

void wantFailureKeys() {
    KeysWanted = true;
}

void readFailureKeys(const ImportMember& member, TextFile& workFile, int32_t recordLength) {
    if (!KeysWanted || KeptCount == 0 || rewindTextFile(workFile) != 0) return;
    static char line[RecordBufferSize];
    static RecordRow row;
    long number = 0;
    int next = 0;
    while (next < KeptCount && readRecordLine(workFile, line, recordLength) >= 0) {
        number++;
        while (next < KeptCount && Kept[next].line < number) next++;
        while (next < KeptCount && Kept[next].line == number) {
            cutRecordFields(member, line, recordLength, row);
            fillKey(member, row, Kept[next].key);
            next++;
        }
    }
}
