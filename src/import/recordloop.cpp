#include "import/recordloop.h"

#include <cstdio>
#include <cstring>

#include "common/runstate.h"
#include "common/textfile.h"
#include "import/statement.h"
#include "import/window.h"

char RecordBuffer[RecordBufferSize];
int32_t RecordCount = 0;

namespace {

constexpr const char* ReadFailedMessage = "Lesen der Datei fehlgeschlagen\n";
constexpr int32_t FileFailureResult = 99;

// What the loop has seen of the file so far.
struct LineCounts {
    long read = 0;             // physical lines, lone newlines included
    long wrongLength = 0;
    long ofRecordLength = 0;
};

bool isLoneNewline(const char* line) {
    return line[0] == '\n' && line[1] == '\0';
}

// A read of recordLength characters that ended without a newline: the line
// is longer than a record. When only its newline is missing from the read
// (it comes next, or the file ends), the record is taken as it stands, the
// extra character in the newline's place. Any longer line is one wrong
// line: its rest is read and dropped. Returns the whole line's length.
long measureLongLine(TextFile& workFile, int32_t recordLength) {
    if (RecordBuffer[recordLength - 1] == '\n' || atLineEnd(workFile)) return recordLength;
    return recordLength + skipRestOfLine(workFile);
}

// Reads the next line that is not a lone newline into RecordBuffer; false
// at the end of the input or when the file could not be read.
bool readNextLine(TextFile& workFile, int32_t recordLength, LineCounts& counts) {
    while (readTextLine(RecordBuffer, recordLength + 1, workFile) != nullptr) {
        counts.read++;
        if (!isLoneNewline(RecordBuffer)) return true;
    }
    return false;
}

// The lines of the file, each queued as a record or a wrong line, until
// the end of the file, a read failure or a stop of the run. Returns false
// when the run has stopped.
bool importLines(TextFile& workFile, int32_t recordLength, LineCounts& counts) {
    while (readNextLine(workFile, recordLength, counts)) {
        long length = static_cast<long>(strlen(RecordBuffer));
        if (length == recordLength) length = measureLongLine(workFile, recordLength);
        if (length != recordLength) {
            counts.wrongLength++;
            queueWrongLength(RecordBuffer, counts.read, length);
            if (runStop() != RunStop::None) return false;
            continue;
        }
        counts.ofRecordLength++;
        if (!queueRecord(RecordBuffer, counts.read)) return false;
    }
    return flushWindow();
}

// The ending of a run that stopped: a statement that did not fit, or a
// transaction the server ended (announced here).
LoopOutcome stoppedOutcome() {
    if (runStop() == RunStop::StatementTooLong) return {StatementTooLongResult, LoopEnding::StatementTooLong};
    printTransactionAborted(runStopCode());
    return {runStopCode(), LoopEnding::TransactionAborted};
}

bool openingApplies(const ImportMember& member) {
    return member.openingCount > 0 && (member.openingApplies == nullptr || member.openingApplies());
}

// The opening statements in order; the result is the last one's.
int32_t runOpening(const ImportMember& member) {
    int32_t result = 0;
    for (int i = 0; i < member.openingCount; ++i) result = runFixedStatement(member.opening[i]);
    return result;
}

int windowRecords() {
    return WindowRecords > 0 ? WindowRecords : DefaultWindowRecords;
}

}  // namespace

bool outsideUpdateMode() {
    return UpdateMode == 0;
}

void printTransactionAborted(int32_t code) {
    printf("Transaktion abgebrochen, Fehler: %d\n", code);
}

// The opening statement, the records, the closing statement and the count
// message, with the endings that forbid a COMMIT: a file without a single
// line of the record length, a failed read, a stopped run, and records
// written after a failed opening (an append or a partial sync would stand
// in for the replace).
LoopOutcome runRecordLoop(const ImportMember& member, TextFile& workFile) {
    int32_t openingResult = 0;
    if (openingApplies(member)) {
        openingResult = runOpening(member);
        LastResultCode = openingResult;
        if (runStop() != RunStop::None) return stoppedOutcome();
    }
    memset(RecordBuffer, 0, sizeof RecordBuffer);
    RecordCount = 0;
    RecordKind kind = member.chooseRecordKind ? member.chooseRecordKind(workFile) : member.recordKind;
    const int32_t recordLength = RecordLengthTable[kind];
    startWindows(member, recordLength, windowRecords());
    LineCounts counts;
    if (!importLines(workFile, recordLength, counts)) return stoppedOutcome();
    if (workFile.readError != 0) {
        fputs(ReadFailedMessage, stdout);
        return {FileFailureResult, LoopEnding::ReadFailed};
    }
    const bool noValidLine = counts.wrongLength > 0 && counts.ofRecordLength == 0;
    const bool openingFailedBeforeWrites = openingResult != 0 && member.openingGuardsWrites && RecordCount > 0;
    if (member.closing != nullptr && !noValidLine && !openingFailedBeforeWrites) {
        LastResultCode = runFixedStatement(member.closing);
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
