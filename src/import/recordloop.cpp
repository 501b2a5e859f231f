#include "import/recordloop.h"

#include <cstdio>
#include <cstring>

#include "db/connection.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "common/textfile.h"
#include "import/statement.h"

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
constexpr const char* ReadFailedMessage = "Lesen der Datei fehlgeschlagen\n";
constexpr int32_t FileFailureResult = 99;

// What the loop has seen of the file so far.
struct LineCounts {
    long wrongLength = 0;
    long ofRecordLength = 0;
};

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

// One line that passed the length test: cut, write, count or report. A
// statement that did not fit ends the run before anything is printed for
// the record, as if the process had ended there.
void importRecord(const ImportMember& member, int32_t recordLength, RecordRow& row) {
    cutRecordFields(member, RecordBuffer, recordLength, row);
    WriteOutcome outcome = member.writeRecord(row);
    if (runStop() == RunStop::StatementTooLong) return;
    LastResultCode = outcome.code;
    if (!outcome.counts) return;
    if (outcome.code == 0) {
        RecordCount++;
    } else {
        reportFailure(member, row, outcome.code);
    }
}

// A read of recordLength characters that ended without a newline: the line
// is longer than a record. When only its newline is missing from the read
// (it comes next, or the file ends), the record is taken as it stands. Any
// longer line is one wrong line: its rest is read and dropped.
bool takeLongLine(TextFile& workFile, int32_t recordLength) {
    if (RecordBuffer[recordLength - 1] == '\n') return true;
    if (atLineEnd(workFile)) return true;
    skipRestOfLine(workFile);
    return false;
}

// Reads the next line that is not a lone newline into RecordBuffer; false
// at the end of the input or when the file could not be read.
bool readNextLine(TextFile& workFile, int32_t recordLength) {
    while (readTextLine(RecordBuffer, recordLength + 1, workFile) != nullptr) {
        if (!isLoneNewline(RecordBuffer)) return true;
    }
    return false;
}

// The records of the file, line by line, until its end, a read failure or
// a stop of the run. Returns false when the run has stopped.
bool importLines(const ImportMember& member, TextFile& workFile, int32_t recordLength, LineCounts& counts) {
    static RecordRow row;
    while (readNextLine(workFile, recordLength)) {
        if (DebugFlag) printf("%s\n", RecordBuffer);
        int32_t length = static_cast<int32_t>(strlen(RecordBuffer));
        if (length != recordLength || !takeLongLine(workFile, recordLength)) {
            fputs(WrongLengthMessage, stdout);
            counts.wrongLength++;
            continue;
        }
        counts.ofRecordLength++;
        importRecord(member, recordLength, row);
        if (runStop() != RunStop::None) return false;
    }
    return true;
}

// The ending of a run that stopped: a statement that did not fit, or a
// transaction the server ended (announced here).
LoopOutcome stoppedOutcome() {
    if (runStop() == RunStop::StatementTooLong) return {StatementTooLongResult, LoopEnding::StatementTooLong};
    printTransactionAborted(runStopCode());
    return {runStopCode(), LoopEnding::TransactionAborted};
}

bool openingApplies(const ImportMember& member) {
    return member.opening != nullptr && (member.openingApplies == nullptr || member.openingApplies());
}

}  // namespace

void printTransactionAborted(int32_t code) {
    printf("Transaktion abgebrochen, Fehler: %d\n", code);
}

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

// The opening statement, the records, the closing statement and the count
// message, with the endings that forbid a COMMIT: a file without a single
// line of the record length, a failed read, a stopped run, and records
// written after a failed opening (an append or a partial sync would stand
// in for the replace).
LoopOutcome runRecordLoop(const ImportMember& member, TextFile& workFile) {
    int32_t openingResult = 0;
    if (openingApplies(member)) {
        openingResult = member.opening();
        LastResultCode = openingResult;
        if (runStop() != RunStop::None) return stoppedOutcome();
    }
    memset(RecordBuffer, 0, sizeof RecordBuffer);
    RecordCount = 0;
    RecordKind kind = member.chooseRecordKind ? member.chooseRecordKind(workFile) : member.recordKind;
    const int32_t recordLength = RecordLengthTable[kind];
    LineCounts counts;
    if (!importLines(member, workFile, recordLength, counts)) return stoppedOutcome();
    if (workFile.readError != 0) {
        fputs(ReadFailedMessage, stdout);
        return {FileFailureResult, LoopEnding::ReadFailed};
    }
    const bool noValidLine = counts.wrongLength > 0 && counts.ofRecordLength == 0;
    const bool openingFailedBeforeWrites = openingResult != 0 && member.openingGuardsWrites && RecordCount > 0;
    if (member.closing != nullptr && !noValidLine && !openingFailedBeforeWrites) {
        LastResultCode = member.closing();
        if (runStop() != RunStop::None) return stoppedOutcome();
    }
    printf(member.countMessage, RecordCount);
    if (noValidLine) return {FileFailureResult, LoopEnding::NoValidLine};
    if (openingFailedBeforeWrites) {
        printTransactionAborted(openingResult);
        return {openingResult, LoopEnding::TransactionAborted};
    }
    return {LastResultCode, LoopEnding::Completed};
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
