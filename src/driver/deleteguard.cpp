#include "driver/deleteguard.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/contract.h"
#include "common/diag.h"
#include "common/runstate.h"
#include "db/connection.h"
#include "driver/deletecount.h"
#include "import/members.h"
#include "import/serverfacts.h"
#include "import/tables.h"

namespace {

constexpr long MaxShare = 100;
constexpr long MaxRows = INT64_MAX / 100;   // so that rows * 100 cannot overflow
constexpr int32_t ErrorTableAccessDenied = 1142;
constexpr int32_t ErrorDatabaseAccessDenied = 1044;
constexpr const char* HeldLine = "Zu viele geloeschte Zeilen in %s (%lld von %lld), nichts uebernommen\n";

DeleteLimits Limits;
bool GuardSet = false;
GuardedTable Tables[MaxGuardedTables];
int GuardedCount = 0;

static_assert(MaxGuardedTables <= MaxCountedTables, "every guarded table needs a counting slot");

// One limit from the environment: unset leaves NoDeleteLimit; a value that
// is not a whole number from 0 to most is 0, with a word.
long takeLimit(const char* variable, long most) {
    const char* text = getenv(variable);
    if (text == nullptr) return NoDeleteLimit;
    GuardSet = true;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < 0 || value > most) {
        diagnoseAt(Severity::Warning, "%s=%s is not a whole number from 0 to %ld; 0 is used", variable, text, most);
        return 0;
    }
    return value;
}

// The guard could not count: the run ends without committing, its line on
// standard output as for any transaction that must not be committed.
LoopOutcome notCounted(int32_t code, const char* table, const char* when, const char* text) {
    const bool denied = code == ErrorTableAccessDenied || code == ErrorDatabaseAccessDenied;
    diagnoseAt(Severity::Error,
               "the deletion guard cannot count the rows of RURUVURO.%s %s (error %d: %s): nothing is committed%s",
               table, when, code, text,
               denied ? "; the login needs SELECT on the tables and CREATE TEMPORARY TABLES on RURUVURO "
                        "(kelvora-settings grants prints them)"
                      : "");
    printTransactionAborted(code);
    return {code, LoopEnding::DeletionsNotCounted};
}

// A table whose deletions a rollback cannot undo: the guard could not hold
// the run, so it does not start it.
LoopOutcome withoutTransactions(const char* table) {
    diagnoseAt(Severity::Warning,
               "table RURUVURO.%s has no transactions: the deletion guard could not undo what the run deletes "
               "there, so nothing is imported (exit %d); unset %s and %s to import into it unguarded",
               table, TooManyDeletedResult, MaxDeletesVariable, MaxDeleteShareVariable);
    return {TooManyDeletedResult, LoopEnding::DeletionsNotCounted};
}

// The type code's tables, its own first; false when they are more than the
// guard has room for (it then guards none rather than some).
bool collectTables(const ImportMember& member) {
    if (member.otherTableCount + 1 > MaxGuardedTables) return false;
    GuardedCount = 0;
    Tables[GuardedCount++] = GuardedTable();
    Tables[0].name = member.table;
    for (int i = 0; i < member.otherTableCount; ++i) {
        Tables[GuardedCount] = GuardedTable();
        Tables[GuardedCount++].name = member.otherTables[i];
    }
    return true;
}

// By keys where the run's statements delete rows of the table or the
// table has triggers or foreign keys; by rows where its statements only
// insert or update by key, which loses no key.
CountBy countingOf(const ImportMember& member, int index, const TableFacts& facts) {
    const WriteMode mode = UpdateMode != 0 ? WriteMode::Update : WriteMode::Replace;
    const bool deletes = (tableWritesOf(member, index - 1, mode) & DeletingWrites) != 0;
    return deletes || facts.triggers || facts.foreignKeys ? CountBy::Keys : CountBy::Rows;
}

// More than every limit that is set: more than N rows, and more than P %
// of the rows before (compared without rounding).
bool losesTooMany(const GuardedTable& table) {
    if (Limits.rows != NoDeleteLimit && table.deleted <= Limits.rows) return false;
    if (Limits.share != NoDeleteLimit && table.deleted * 100 <= Limits.share * table.before) return false;
    return true;
}

// The limits in words, for standard error.
std::string limitWords() {
    std::string words;
    if (Limits.rows != NoDeleteLimit) words = std::string(MaxDeletesVariable) + "=" + std::to_string(Limits.rows);
    if (Limits.share != NoDeleteLimit) {
        words += (words.empty() ? "" : " and ") + std::string(MaxDeleteShareVariable) + "=" +
                 std::to_string(Limits.share) + " %";
    }
    return words;
}

// The held run's lines: one per table that loses too many, in the order of
// the type code's tables, on standard output and on standard error.
void printHeld() {
    for (int i = 0; i < GuardedCount; ++i) {
        const GuardedTable& table = Tables[i];
        if (!table.tooMany) continue;
        printf(HeldLine, table.name, table.deleted, table.before);
        diagnoseAt(Severity::Warning,
                   "RURUVURO.%s: %lld of its %lld rows would be deleted, more than %s allow: the run is held, nothing "
                   "is committed",
                   table.name, table.deleted, table.before, limitWords().c_str());
    }
}

}  // namespace

void takeDeleteLimits() {
    Limits.rows = takeLimit(MaxDeletesVariable, MaxRows);
    Limits.share = takeLimit(MaxDeleteShareVariable, MaxShare);
}

bool deleteGuardSet() {
    return GuardSet;
}

const DeleteLimits& deleteLimits() {
    return Limits;
}

int guardedTableCount() {
    return GuardedCount;
}

const GuardedTable& guardedTable(int index) {
    return Tables[index];
}

bool countRowsBefore(const char* typeCode, LoopOutcome& outcome) {
    const ImportMember* member = GuardSet ? findMember(typeCode) : nullptr;
    if (member == nullptr) return true;
    if (!collectTables(*member)) {
        outcome = notCounted(-1, member->table, "before the run", "the type code writes more tables than it counts");
        return false;
    }
    for (int i = 0; i < GuardedCount; ++i) {
        GuardedTable& table = Tables[i];
        const TableFacts facts = readTableFacts(table.name);
        if (!facts.known) {
            outcome = notCounted(-1, table.name, "before the run", "its definition cannot be read");
            return false;
        }
        table.exists = facts.exists;
        if (!facts.exists) continue;
        if (!facts.transactional) {
            outcome = withoutTransactions(table.name);
            return false;
        }
        TableCount count;
        const int32_t result = countBefore(i, table.name, countingOf(*member, i, facts), count);
        if (result != 0) {
            outcome = notCounted(result, table.name, "before the run", countErrorText());
            return false;
        }
        table.before = count.before;
        table.noted = true;
    }
    return true;
}

LoopOutcome judgeDeletions(const LoopOutcome& outcome) {
    if (!GuardSet || outcome.ending != LoopEnding::Completed) return outcome;
    bool held = false;
    for (int i = 0; i < GuardedCount; ++i) {
        GuardedTable& table = Tables[i];
        if (!table.exists) continue;
        TableCount count;
        count.before = table.before;
        const int32_t result = countAfter(i, table.name, count);
        if (result != 0) return notCounted(result, table.name, "after the run", countErrorText());
        table.after = count.after;
        table.deleted = count.deleted;
        table.counted = true;
        table.tooMany = losesTooMany(table);
        held = held || table.tooMany;
    }
    if (!held) return outcome;
    printHeld();
    return {TooManyDeletedResult, LoopEnding::TooManyDeleted};
}
