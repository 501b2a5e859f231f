#include "driver/run.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/contract.h"
#include "common/diag.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "common/textfile.h"
#include "db/connection.h"
#include "driver/connect.h"
#include "driver/deleteguard.h"
#include "driver/exitstatus.h"
#include "driver/journal.h"
#include "driver/runreport.h"
#include "driver/workfile.h"
#include "import/dispatch.h"
#include "import/report.h"

namespace {

// Whether the run's transaction was committed, for the summary.
enum class CommitState { NotSent, Done, Failed, JournalFailed, RolledBack };
CommitState Committed = CommitState::NotSent;
// How the run ended, in the words of the run report.
const char* RunEnding = NotStartedEnding;

constexpr int SourceArgument = 1;
constexpr int TypeCodeArgument = 2;
constexpr size_t TypeCodeLength = 3;
constexpr const char* WindowVariable = "KELVORA_WINDOW";

// The first three characters of the upper-cased type code argument.
void takeTypeCode(char* argument, char* typeCode) {
    toUpperInPlace(argument);
    snprintf(typeCode, TypeCodeLength + 1, "%s", argument);
}

// KELVORA_WINDOW: the records per statement window, for diagnosis and the
// tests; 1 sends one statement per query. Anything but a whole number from
// 1 up leaves the default, with a word on standard error.
void takeWindowSetting() {
    const char* text = getenv(WindowVariable);
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > INT32_MAX) {
        diagnoseAt(Severity::Warning, "%s=%s is not a number of records from 1 up; the default window is used",
                   WindowVariable, text);
        return;
    }
    WindowRecords = static_cast<int>(value);
}

// KELVORA_MAX_FAILED: with more failed records than this, the run commits
// nothing. A value that is not a whole number from 0 up is taken as 0, the
// strictest, with a word on standard error: who sets it wants no partial
// import.
void takeMaxFailedSetting() {
    const char* text = getenv(MaxFailedVariable);
    if (text == nullptr) return;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0) {
        diagnoseAt(Severity::Warning, "%s=%s is not a number of records from 0 up; 0 is used", MaxFailedVariable, text);
        value = 0;
    }
    MaxFailedRecords = value;
}

// Hands the open work file to the member that serves the type code.
LoopOutcome dispatchImport(const char* typeCode, TextFile& workFile) {
    ImportHandler handler = findImportHandler(typeCode);
    if (handler == nullptr) {
        diagnoseAt(Severity::Error,
                   "type code %s is none of 20P, 35P, 41P, MND, IDN, SLD, KST, BKL, FTG, MST, MDT, FCD; the file is "
                   "only moved to its work name",
                   typeCode);
        fputs("\nunbekannter Dateityp!!", stdout);
        return {UnknownTypeCode, LoopEnding::Completed};
    }
    return handler(workFile);
}

// The file of a run: as named, as moved aside, and its type code.
struct RunFile {
    std::string source;
    std::string work;
    char typeCode[TypeCodeLength + 1] = "";
    bool moved = false;
    bool refused = false;   // a check's hook ended the run before the import
};

// The file the import reads: the source moved to its work file; for a
// check the source where it stands, once the move is known to work.
bool takeFile(RunFile& run, const RunKind& kind) {
    if (kind.check) {
        if (!sourceWouldMove(run.source, run.work)) return false;
        run.work = run.source;
        return true;
    }
    run.moved = moveToWorkFile(run.source, run.work);
    return run.moved;
}

// Move, open, import and finish; returns the run's result code.
int32_t importFile(RunFile& run, const RunKind& kind) {
    if (!takeFile(run, kind)) {
        if (DebugFlag) fputs("Quelldatei auf Server nicht gefunden\n", stdout);
        return FileFailureResult;
    }
    LastResultCode = 0;
    static TextFile workFile;
    if (!openTextFile(workFile, run.work.c_str())) {
        diagnoseAt(Severity::Error, "cannot open the work file %s: %s", run.work.c_str(), strerror(errno));
        fputs("\xD6" "ffnen der Datei fehlgeschlagen\n", stdout);
        RunEnding = OpenFailedEnding;
        return FileFailureResult;
    }
    reportFile(run.work.c_str());
    // The deletion guard notes the tables first: its copy is committed on its
    // own, so a check's view of the tables before the import begins after it.
    LoopOutcome outcome = {0, LoopEnding::Completed};
    const bool counted = countRowsBefore(run.typeCode, outcome);
    if (counted && kind.beforeImport != nullptr) {
        int32_t refusal = kind.beforeImport(run.typeCode);
        run.refused = refusal != 0;
        if (run.refused) {
            closeTextFile(workFile);
            return refusal;
        }
    }
    startProgress(run.typeCode, workFile.size);
    const JournalRun journal = {run.typeCode, run.source.c_str(), workFile.size};
    if (counted) outcome = judgeDeletions(dispatchImport(run.typeCode, workFile));
    closeTextFile(workFile);
    if (kind.afterImport != nullptr) kind.afterImport(run.typeCode, outcome);
    return finishImport(outcome, kind, &journal);
}

// A check ends with a ROLLBACK where the import commits. Its result stays
// the import's: what the run would end with when its COMMIT works.
void rollBackCheck() {
    int32_t rolledBack = rollbackWork();
    if (rolledBack == 0) {
        Committed = CommitState::RolledBack;
        return;
    }
    diagnoseAt(Severity::Warning,
               "ROLLBACK failed with error %d: %s; the server discards the transaction when the connection ends",
               rolledBack, lastErrorText());
}

// A journal row that could not be written ends the run as a failed COMMIT
// does: the run's transaction is rolled back (when that fails, the server
// discards it as the connection ends), and the abort line is printed.
int32_t journalFailed(int32_t code) {
    Committed = CommitState::JournalFailed;
    RunEnding = JournalFailedEnding;
    rollbackWork();
    printTransactionAborted(code);
    return code;
}

// The summary's words for what became of the run's transaction.
const char* commitWords() {
    switch (Committed) {
    case CommitState::Done:
        if (Tally.failedStatement == nullptr) return "committed";
        return strcmp(Tally.failedStatement, "closing") == 0 ? "committed although the closing statement failed"
                                                             : "committed although the opening statement failed";
    case CommitState::Failed: return "COMMIT failed";
    case CommitState::JournalFailed: return "not committed, the journal row failed";
    case CommitState::RolledBack: return "rolled back where a run commits";
    case CommitState::NotSent: break;
    }
    return "not committed";
}

// How the summary line counts for the journal: a run not committed is an
// error, a held one or one committed with lines that failed a warning.
Severity summarySeverity(int32_t result) {
    if (result == TooManyDeletedResult) return Severity::Warning;
    if (Committed != CommitState::Done) return Severity::Error;
    const bool linesFailed = Tally.failed > 0 || Tally.wrongLength > 0 || Tally.failedStatement != nullptr;
    return linesFailed ? Severity::Warning : Severity::Info;
}

// The last line of every run that reached its file: what became of its
// lines, whether the run was committed, the exit status and the time. The
// exit status is the last record's result, so a run with failed records
// may end with 0: this line is where the operator sees them.
void printSummary(const RunFile& run, int32_t result) {
    clearProgress();
    char lone[64] = "";
    if (Tally.loneNewlines > 0) snprintf(lone, sizeof lone, ", %ld lone newlines skipped", Tally.loneNewlines);
    diagnoseAt(summarySeverity(result),
               "%s %s: %ld lines, %ld written, %ld failed, %ld wrong length%s, %s, exit %d, %.2f s", run.typeCode,
               run.moved ? run.work.c_str() : run.source.c_str(), Tally.lines, Tally.written, Tally.failed,
               Tally.wrongLength, lone, commitWords(), exitStatusFor(result), secondsSinceStart());
}

// The run report of a run that reached its work file.
void reportRun(const RunFile& run, int32_t result) {
    if (!run.moved) return;
    writeRunReport({run.typeCode, run.source.c_str(), run.work.c_str(), RunEnding,
                    Committed == CommitState::Done, result, exitStatusFor(result), secondsSinceStart()});
}

// The words of the run report for a loop's ending.
const char* endingWords(LoopEnding ending) {
    switch (ending) {
    case LoopEnding::Completed: return CompletedEnding;
    case LoopEnding::NoValidLine: return NoValidLineEnding;
    case LoopEnding::TransactionAborted: return TransactionAbortedEnding;
    case LoopEnding::ReadFailed: return ReadFailedEnding;
    case LoopEnding::StatementTooLong: return StatementTooLongEnding;
    case LoopEnding::Utf8File: return Utf8FileEnding;
    case LoopEnding::TooManyFailed: return TooManyFailedEnding;
    case LoopEnding::OpeningFailed: return OpeningFailedEnding;
    case LoopEnding::ClosingFailed: return ClosingFailedEnding;
    case LoopEnding::TooManyDeleted: return TooManyDeletedEnding;
    case LoopEnding::DeletionsNotCounted: return DeletionsNotCountedEnding;
    }
    return "unknown";
}

}  // namespace

void buildServerDate(const char* dateTime, char* target, size_t targetSize) {
    constexpr size_t DateTimeLength = 19;
    target[0] = '\0';
    if (strlen(dateTime) < DateTimeLength - 9) return;
    snprintf(target, targetSize, "%.4s%.2s%.2s", dateTime + 6, dateTime + 3, dateTime);
}

int32_t runImport(int argc, char** argv, const RunKind& kind) {
    (void)argc;
    if (!kind.check && !takeJournalSettings()) return JournalSettingFault;
    takeWindowSetting();
    takeReportSetting();
    takeMaxFailedSetting();
    takeDeleteLimits();
    LastResultCode = connectFromSettings();
    if (LastResultCode != 0) return LastResultCode;
    if (!journalTableKeepsTransactions()) return JournalSettingFault;
    checkServer();

    char dateTime[ServerDateTimeSize] = {0};
    LastResultCode = queryServerDate(dateTime);
    buildServerDate(dateTime, ServerDate, sizeof ServerDate);

    RunFile run;
    takeTypeCode(argv[TypeCodeArgument], run.typeCode);
    run.source = argv[SourceArgument];
    run.work = buildWorkPath(run.source);
    LastResultCode = importFile(run, kind);
    if (!run.refused) printSummary(run, LastResultCode);
    reportRun(run, LastResultCode);
    return LastResultCode;
}

int32_t finishImport(const LoopOutcome& outcome, const RunKind& kind, const JournalRun* journal) {
    RunEnding = endingWords(outcome.ending);
    switch (outcome.ending) {
    case LoopEnding::Completed: {
        if (kind.check) {
            rollBackCheck();
            break;
        }
        int32_t journaled = journal != nullptr ? writeJournalRow(*journal, exitStatusFor(outcome.code)) : 0;
        if (journaled != 0) return journalFailed(journaled);
        int32_t committed = commitWork();
        if (committed != 0) {
            Committed = CommitState::Failed;
            RunEnding = CommitFailedEnding;
            diagnoseAt(Severity::Error, "COMMIT failed with error %d: %s; nothing of the run is kept", committed,
                       lastErrorText());
            printTransactionAborted(committed);
            return committed;
        }
        Committed = CommitState::Done;
        break;
    }
    case LoopEnding::NoValidLine:
        break;
    case LoopEnding::TransactionAborted:
    case LoopEnding::ReadFailed:
    case LoopEnding::Utf8File:
    case LoopEnding::StatementTooLong:
    case LoopEnding::TooManyFailed:
    case LoopEnding::OpeningFailed:
    case LoopEnding::ClosingFailed:
    case LoopEnding::TooManyDeleted:
    case LoopEnding::DeletionsNotCounted:
        return outcome.code;
    }
    if (DebugFlag) fputs("\n", stdout);
    return outcome.code;
}
