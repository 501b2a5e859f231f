#include "import/recordloop.h"

#include <cstdio>
#include <cstring>

#include "db/connection.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "common/textfile.h"

const int32_t RecordLengthTable[RecordKindCount] = {
    272,  // 20P
    282,  // 35P
    278,  // 41P
    130,  // MND
    364,  // IDN
    427,  // SLD, short form
    432,  // SLD, long form
    135,  // KST
    67,   // BKL
    299,  // FTG
    203,  // MST
    102,  // MDT
    65,   // FCD
};

char RecordBuffer[RecordBufferSize];
int32_t RecordCount = 0;

namespace {

constexpr const char* WrongLengthMessage = "Datensatz mit falscher Satzlaenge!!";

bool isLoneNewline(const char* line) {
    return line[0] == '\n' && line[1] == '\0';
}

// Prints the member's failure line for a record whose statement failed.
void reportFailure(const ImportMember& member, const RecordRow& row, int32_t code) {
    if (member.failureOnlyInDebug && !DebugFlag) return;
    const char* message = member.failureMessage;
    if (UpdateMode && member.updateModeFailureMessage != nullptr) message = member.updateModeFailureMessage;
    if (member.failureField >= 0) {
        printf(message, row[member.failureField], code);
    } else {
        printf(message, code);
    }
}

// One line that passed the length test: cut, write, count or report.
void importRecord(const ImportMember& member, int32_t recordLength, RecordRow& row) {
    cutRecordFields(member, RecordBuffer, recordLength, row);
    WriteOutcome outcome = member.writeRecord(row);
    LastResultCode = outcome.code;
    if (!outcome.counts) return;
    if (outcome.code == 0) {
        RecordCount++;
    } else {
        reportFailure(member, row, outcome.code);
    }
}

}  // namespace

// A field that reaches into the line end is left empty: this is how the
// short form of a record with an optional last field is read.
void cutRecordFields(const ImportMember& member, const char* line, int32_t recordLength, RecordRow& row) {
    for (int i = 0; i < member.fieldCount; ++i) {
        const FieldSpec& place = member.layout[i];
        char* target = row[place.target];
        memset(target, 0, static_cast<size_t>(place.width) + 1);
        if (place.offset + place.width > recordLength - 1) continue;
        memcpy(target, line + place.offset, static_cast<size_t>(place.width));
        target[strnlen(target, static_cast<size_t>(place.width))] = '\0';
        if (place.trimmed) trimRight(target);
    }
}

bool outsideUpdateMode() {
    return UpdateMode == 0;
}

int32_t runRecordLoop(const ImportMember& member, TextFile& workFile) {
    if (member.opening != nullptr && (member.openingApplies == nullptr || member.openingApplies())) {
        LastResultCode = member.opening();
    }
    memset(RecordBuffer, 0, sizeof RecordBuffer);
    RecordCount = 0;
    RecordKind kind = member.chooseRecordKind ? member.chooseRecordKind(workFile) : member.recordKind;
    const int32_t recordLength = RecordLengthTable[kind];
    static RecordRow row;
    while (readTextLine(RecordBuffer, recordLength + 1, workFile) != nullptr) {
        if (isLoneNewline(RecordBuffer)) continue;
        if (DebugFlag) printf("%s\n", RecordBuffer);
        if (static_cast<int32_t>(strlen(RecordBuffer)) != recordLength) {
            fputs(WrongLengthMessage, stdout);
            continue;
        }
        importRecord(member, recordLength, row);
    }
    if (member.closing != nullptr) LastResultCode = member.closing();
    printf(member.countMessage, RecordCount);
    return LastResultCode;
}

int32_t writeUpdateElseInsert(const RecordRow& row, RowStatement update, RowStatement insert) {
    int32_t result = update(row);
    if (result != 0) return result;
    if (affectedRows() != 0) return 0;
    result = insert(row);
    return result == ErrorDuplicateKey ? 0 : result;
}

void rowTextArguments(const RecordRow& row, int count, SqlArg* args) {
    for (int i = 0; i < count; ++i) args[i] = sqlText(row[i]);
}
