#include "import/recordloop.h"

#include <cstdio>
#include <cstring>

#include "common/contract.h"
#include "common/diag.h"
#include "common/encoding.h"
#include "common/runstate.h"
#include "common/textfile.h"
#include "db/connection.h"
#include "import/failures.h"
#include "import/report.h"
#include "import/serverfacts.h"
#include "import/statement.h"
#include "import/window.h"

char RecordBuffer[RecordBufferSize];

namespace {

constexpr const char* ReadFailedMessage = "Lesen der Datei fehlgeschlagen\n";
constexpr const char* Utf8FileMessage = "Datei in UTF-8 statt Windows-1252, nichts importiert\n";
constexpr const char* TooManyFailedMessage = "Zu viele fehlerhafte Datensaetze (%d), nichts uebernommen\n";

constexpr long ProgressEveryLines = 256;
constexpr size_t FailureTextRoom = 512;

// What the loop has seen of the file so far.
struct LineCounts {
    long read = 0;             // physical lines, lone newlines included
    long wrongLength = 0;
    long ofRecordLength = 0;
};

// Reads the next line into RecordBuffer (its whole length into length);
// false at the end of the input or when the file could not be read.
bool readNextLine(TextFile& workFile, int32_t recordLength, LineCounts& counts, long& length) {
    length = readRecordLine(workFile, RecordBuffer, recordLength);
    if (length < 0) return false;
    counts.read++;
    if (counts.read % ProgressEveryLines == 0) showProgress(counts.read, textFilePosition(workFile));
    return true;
}

// The lines of the file, each queued as a record or a wrong line, until
// the end of the file, a read failure or a stop of the run. Returns false
// when the run has stopped.
bool importLines(TextFile& workFile, int32_t recordLength, LineCounts& counts) {
    long length = 0;
    while (readNextLine(workFile, recordLength, counts, length)) {
        if (isLoneNewline(RecordBuffer)) {
            if (!queueLoneNewline(counts.read)) return false;
            continue;
        }
        if (length != recordLength) {
            counts.wrongLength++;
            if (!queueWrongLength(RecordBuffer, counts.read, length)) return false;
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
    reportLeftOut();
    if (runStop() == RunStop::StatementTooLong) return {StatementTooLongResult, LoopEnding::StatementTooLong};
    printTransactionAborted(runStopCode());
    return {runStopCode(), LoopEnding::TransactionAborted};
}

// The opening or closing statement ended the transaction.
LoopOutcome fixedStatementStopped() {
    if (runStop() == RunStop::TransactionEnded) reportTransactionEnded(0, runStopCode(), lastFailureText());
    return stoppedOutcome();
}

// Once per run: a table the member writes that the server does not have
// makes every record fail with error 1146; a table without transactions
// keeps what is written to it even when the run is not committed.
void checkTables(const ImportMember& member) {
    auto check = [](const char* table) {
        const TableFacts facts = readTableFacts(table);
        if (!facts.known) return;
        if (!facts.exists) {
            diagnoseAt(Severity::Warning, "table RURUVURO.%s does not exist: every record that writes it will fail",
                       table);
        } else if (!facts.transactional) {
            diagnoseAt(Severity::Warning,
                       "table RURUVURO.%s has no transactions: what the run writes there stays, even when the "
                       "run is not committed",
                       table);
        }
    };
    if (member.table != nullptr) check(member.table);
    for (int i = 0; i < member.otherTableCount; ++i) check(member.otherTables[i]);
}

void takeBytes(const unsigned char* bytes, size_t count, void* context) {
    scanUtf8(*static_cast<Utf8Scan*>(context), bytes, count);
}

// A work file in UTF-8 is refused before anything is written (see
// common/encoding.h): the whole file is read once, ahead of the opening
// statement. Returns false when the file is not UTF-8 or could not be read
// (the import then reads it, and meets the read error itself).
bool isUtf8WorkFile(TextFile& workFile) {
    Utf8Scan scan;
    if (!readAllBytes(workFile, takeBytes, &scan) || !isUtf8File(scan)) return false;
    char bytes[3 * MaxUtf8SequenceLength + 1] = "";
    size_t used = 0;
    for (int i = 0; i < scan.firstSequenceLength; ++i) {
        used += static_cast<size_t>(snprintf(bytes + used, sizeof bytes - used, "%s%02X", i == 0 ? "" : " ",
                                             scan.firstSequence[i]));
    }
    reportUtf8File(scan.firstLine, bytes);
    return true;
}

bool openingApplies(const ImportMember& member) {
    return member.openingCount > 0 && (member.openingApplies == nullptr || member.openingApplies());
}

// KELVORA_MAX_FAILED makes a run all or nothing: then a failed opening or
// closing statement forbids the COMMIT as a failed record beyond the limit
// does, since what it leaves (old rows beside the new, marked rows) is a
// partial import.
bool allOrNothing() {
    return MaxFailedRecords >= 0;
}

// The first opening statement that failed: its error and the server's text.
struct OpeningFailure {
    int32_t code = 0;
    char text[FailureTextRoom] = "";
};

// The opening statements in order; the result is the last one's, and the
// first that failed is kept in failure (a later one that works must not
// hide it: IDN clears three tables). Each one that fails is named on
// standard error with the server's text.
int32_t runOpening(const ImportMember& member, OpeningFailure& failure) {
    int32_t result = 0;
    for (int i = 0; i < member.openingCount; ++i) {
        result = runFixedStatement(member.opening[i]);
        if (result != 0 && runStop() == RunStop::None) {
            reportStatementFailed("opening", member.opening[i], nullptr, result, lastFailureText(), nullptr);
            if (failure.code == 0) {
                failure.code = result;
                snprintf(failure.text, sizeof failure.text, "%s", lastFailureText());
            }
        }
    }
    return result;
}

// The closing statement; a failure is named with what it leaves behind,
// which is nothing when the run is all or nothing.
int32_t runClosing(const ImportMember& member) {
    int32_t result = runFixedStatement(member.closing);
    if (result != 0 && runStop() == RunStop::None) {
        reportStatementFailed("closing", member.closing, member.closingRole, result, lastFailureText(),
                              allOrNothing() ? nullptr : member.closingFailureLeaves);
    }
    return result;
}

// The end of a run whose opening statement failed where that forbids the
// COMMIT: records were written that would not replace the old rows
// (guarded), or else the run is all or nothing. The count line is printed
// already.
LoopOutcome openingFailedOutcome(const OpeningFailure& failure, bool guarded) {
    if (guarded) {
        diagnoseAt(Severity::Error,
                   "the opening statement failed with error %d: %s; the records written would not replace the old "
                   "rows, so nothing is committed",
                   failure.code, failure.text);
        printTransactionAborted(failure.code);
        return {failure.code, LoopEnding::TransactionAborted};
    }
    diagnoseAt(Severity::Error,
               "the opening statement failed with error %d: %s; %s makes the run all or nothing, so nothing is "
               "committed",
               failure.code, failure.text, MaxFailedVariable);
    printTransactionAborted(failure.code);
    return {failure.code, LoopEnding::OpeningFailed};
}

int windowRecords() {
    return WindowRecords > 0 ? WindowRecords : DefaultWindowRecords;
}

// The end of a run whose closing statement failed while the run is all or
// nothing. The count line is printed already.
LoopOutcome closingFailedOutcome(int32_t code) {
    diagnoseAt(Severity::Error,
               "%s makes the run all or nothing: after the failed closing statement nothing is committed",
               MaxFailedVariable);
    printTransactionAborted(code);
    return {code, LoopEnding::ClosingFailed};
}

// The opening statement, the records, the closing statement and the count
// message, with the endings that forbid a COMMIT: a file without a single
// line of the record length, a failed read, a stopped run, records written
// after a failed opening (an append or a partial sync would stand in for
// the replace), and in an all-or-nothing run a failed opening or closing.
// recordLength receives the length the file was read with.
LoopOutcome runLoop(const ImportMember& member, TextFile& workFile, int32_t& recordLength) {
    checkTables(member);
    OpeningFailure openingFailure;
    if (openingApplies(member)) {
        LastResultCode = runOpening(member, openingFailure);
        if (runStop() != RunStop::None) return fixedStatementStopped();
    }
    memset(RecordBuffer, 0, sizeof RecordBuffer);
    RecordCount = 0;
    RecordKind kind = member.chooseRecordKind ? member.chooseRecordKind(workFile) : member.recordKind;
    recordLength = RecordLengthTable[kind];
    startWindows(member, recordLength, windowRecords());
    LineCounts counts;
    if (!importLines(workFile, recordLength, counts)) return stoppedOutcome();
    reportLeftOut();
    if (workFile.readError != 0) {
        diagnoseAt(Severity::Error, "reading the work file failed after line %ld: %s; nothing is committed",
                   counts.read, strerror(workFile.readError));
        fputs(ReadFailedMessage, stdout);
        return {FileFailureResult, LoopEnding::ReadFailed};
    }
    const bool noValidLine = counts.wrongLength > 0 && counts.ofRecordLength == 0;
    const bool openingGuarded = openingFailure.code != 0 && member.openingGuardsWrites && RecordCount > 0;
    const bool openingForbidsCommit = openingGuarded || (openingFailure.code != 0 && allOrNothing());
    const bool tooManyFailed = allOrNothing() && Tally.failed > MaxFailedRecords;
    bool closingFailed = false;
    if (member.closing != nullptr && !noValidLine && !openingForbidsCommit && !tooManyFailed) {
        LastResultCode = runClosing(member);
        if (runStop() != RunStop::None) return fixedStatementStopped();
        closingFailed = LastResultCode != 0;
    }
    clearProgress();
    printf(member.countMessage, RecordCount);
    if (noValidLine) {
        diagnoseAt(Severity::Error,
                   "no line has the length of a %s record (%d, line end included): a file of another type or format; "
                   "nothing is committed",
                   member.typeCode, recordLength);
        return {FileFailureResult, LoopEnding::NoValidLine};
    }
    if (openingForbidsCommit) return openingFailedOutcome(openingFailure, openingGuarded);
    if (tooManyFailed) {
        printf(TooManyFailedMessage, static_cast<int>(Tally.failed));
        diagnoseAt(Severity::Error, "%ld records failed, more than %s=%ld allows: nothing is committed", Tally.failed,
                   MaxFailedVariable, MaxFailedRecords);
        return {TooManyFailedResult, LoopEnding::TooManyFailed};
    }
    if (closingFailed && allOrNothing()) return closingFailedOutcome(LastResultCode);
    return {LastResultCode, LoopEnding::Completed};
}

}  // namespace

void printTransactionAborted(int32_t code) {
    printf("Transaktion abgebrochen, Fehler: %d\n", code);
}

// A UTF-8 file is refused before anything is sent; after the loop, the
// keys of the first failed records are read back for the run report.
LoopOutcome runRecordLoop(const ImportMember& member, TextFile& workFile) {
    if (isUtf8WorkFile(workFile)) {
        fputs(Utf8FileMessage, stdout);
        return {FileFailureResult, LoopEnding::Utf8File};
    }
    int32_t recordLength = RecordLengthTable[member.recordKind];
    LoopOutcome outcome = runLoop(member, workFile, recordLength);
    readFailureKeys(member, workFile, recordLength);
    return outcome;
}
