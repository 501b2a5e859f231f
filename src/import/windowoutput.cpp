#include "import/windowoutput.h"

#include <cstdio>

#include "common/diag.h"
#include "common/runstate.h"
#include "import/recordcut.h"
#include "import/report.h"
#include "import/statement.h"

namespace {

constexpr const char* WrongLengthMessage = "Datensatz mit falscher Satzlaenge!!";

// Prints the member's failure line for a record whose statement failed.
void reportFailure(WindowState& run, const Window& win, const Entry& entry) {
    const ImportMember& member = *run.member;
    if (member.failureOnlyInDebug && !DebugFlag) return;
    const char* message = member.failureMessage;
    if (UpdateMode && member.updateModeFailureMessage != nullptr) message = member.updateModeFailureMessage;
    if (member.failureField >= 0) {
        cutRecordFields(member, lineOf(win, entry), run.recordLength, run.row);
        printf(message, run.row[member.failureField], entry.result);
    } else {
        printf(message, entry.result);
    }
}

// The output of one line of the window, as one statement per query gives
// it: counted, echoed, then its wrong length or its record's result.
void writeEntry(WindowState& run, const Window& win, const Entry& entry, bool stopsTheRun) {
    Tally.lines++;
    if (entry.isLoneNewline) {
        Tally.loneNewlines++;
        return;
    }
    clearProgress();
    echoLine(lineOf(win, entry));
    if (!entry.isRecord) {
        fputs(WrongLengthMessage, stdout);
        reportWrongLength(entry.lineNumber, entry.actualLength, run.recordLength);
        return;
    }
    // A record whose statements were never sent, before the one that
    // stopped the run inside a multi-row statement: nothing of it is written.
    if (!entry.resolved) return;
    LastResultCode = entry.result;
    if (stopsTheRun) {
        reportTransactionEnded(entry.lineNumber, entry.result, errorTextOf(win, entry));
    } else if (entry.result == 0) {
        reportWritten();
    } else {
        reportFailedRecord(entry.lineNumber, entry.result, errorTextOf(win, entry));
    }
    if (!entry.plan.counts) return;
    if (entry.result == 0) {
        RecordCount++;
    } else {
        reportFailure(run, win, entry);
    }
}

}  // namespace

void echoLine(const char* line) {
    if (!DebugFlag) return;
    clearProgress();
    printf("%s\n", line);
}

void writeWrongLengthNow(const char* shown, long lineNumber, long actualLength, int32_t recordLength) {
    Tally.lines++;
    clearProgress();
    echoLine(shown);
    fputs(WrongLengthMessage, stdout);
    reportWrongLength(lineNumber, actualLength, recordLength);
}

void writeOutput(WindowState& run, Window& win) {
    int end = win.entryCount;
    if (win.stopEntry >= 0) end = win.stopEntry + (win.stopEntryShown ? 1 : 0);
    const bool transactionEnded = runStop() == RunStop::TransactionEnded;
    for (int i = 0; i < end; ++i) writeEntry(run, win, win.entries[i], transactionEnded && i == win.stopEntry);
    // A record whose statement did not fit has been echoed, as every line
    // read is, before the run ended; nothing else of it is written.
    if (win.stopEntry >= 0 && !win.stopEntryShown) {
        Tally.lines++;
        echoLine(lineOf(win, win.entries[win.stopEntry]));
    }
    if (win.tooLongLine > 0) reportStatementTooLong(win.tooLongLine);
    win.tooLongLine = 0;
}
