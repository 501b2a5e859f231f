#include "check/plan.h"

#include <cstring>
#include <string>

#include "check/snapshot.h"
#include "common/diag.h"
#include "driver/deleteguard.h"
#include "driver/exitstatus.h"
#include "import/members.h"
#include "import/serverfacts.h"

namespace {

constexpr int MaxPlannedTables = 4;

struct PlannedTable {
    const char* name = nullptr;
    TableFacts facts;
    TableSnapshot before;
    int32_t readResult = 0;   // of the snapshot before the import
};

PlannedTable Planned[MaxPlannedTables];
int PlannedCount = 0;

// The member's tables: the one of its inserts and updates, then the others.
void collectTables(const ImportMember& member) {
    PlannedCount = 0;
    Planned[PlannedCount++].name = member.table;
    for (int i = 0; i < member.otherTableCount && PlannedCount < MaxPlannedTables; ++i) {
        Planned[PlannedCount++].name = member.otherTables[i];
    }
}

// A table that keeps what is written to it whatever the transaction does
// would keep the check's rows; nothing may be sent then, nor when the
// catalogue cannot say.
bool anyWithoutTransactions() {
    bool found = false;
    for (int i = 0; i < PlannedCount; ++i) {
        PlannedTable& table = Planned[i];
        table.facts = readTableFacts(table.name);
        if (!table.facts.known) {
            diagnoseAt(Severity::Warning,
                       "the definition of table RURUVURO.%s cannot be read: whether a rollback undoes what the run "
                       "writes there is unknown, so the file is not checked (exit %d)",
                       table.name, RefusedResult);
            found = true;
            continue;
        }
        if (!table.facts.exists || table.facts.transactional) continue;
        diagnoseAt(Severity::Warning,
                   "table RURUVURO.%s has no transactions: a rollback could not undo what the run writes there, "
                   "so the file is not checked (exit %d)",
                   table.name, RefusedResult);
        found = true;
    }
    return found;
}

// The deletion guard's words for a table it holds the run for, or "".
std::string heldNote(const char* name) {
    for (int i = 0; i < guardedTableCount(); ++i) {
        const GuardedTable& table = guardedTable(i);
        if (!table.tooMany || strcmp(table.name, name) != 0) continue;
        std::string limits;
        if (deleteLimits().rows != NoDeleteLimit) limits = "more than " + std::to_string(deleteLimits().rows) + " rows";
        if (deleteLimits().share != NoDeleteLimit) {
            limits += (limits.empty() ? "more than " : " and more than ") + std::to_string(deleteLimits().share) +
                      " % of them";
        }
        return " (the run would be held: it deletes " + std::to_string(table.deleted) + " of " +
               std::to_string(table.before) + " rows, " + limits + "; nothing would be committed)";
    }
    return "";
}

void printLine(const PlannedTable& table, long after, const TableChanges& changes, int status, const char* note) {
    diagnose("plan %s: %ld rows before, %ld after; %ld inserted, %ld changed, %ld deleted; exit %d%s", table.name,
             static_cast<long>(table.before.rows.size()), after, changes.inserted, changes.changed, changes.deleted,
             status, note);
}

// One table's line: a table that is not there, one that could not be read,
// one the run would leave as it is, or what the run did to it. A run the
// deletion guard holds shows what it would have done, and why it is held.
void planTable(PlannedTable& table, bool commits, bool held, int status) {
    if (!table.facts.exists) {
        diagnoseAt(Severity::Warning, "plan %s: the table does not exist; exit %d", table.name, status);
        return;
    }
    if (table.readResult != 0) {
        diagnoseAt(Severity::Warning, "plan %s: the rows could not be read (error %d); exit %d", table.name,
                   table.readResult, status);
        return;
    }
    if (!commits && !held) {
        printLine(table, static_cast<long>(table.before.rows.size()), TableChanges(), status,
                  " (the run commits nothing)");
        return;
    }
    TableSnapshot after;
    after.query = table.before.query;
    int32_t result = takeSnapshot(table.name, after);
    if (result != 0) {
        diagnoseAt(Severity::Warning, "plan %s: the rows after the run could not be read (error %d); exit %d",
                   table.name, result, status);
        return;
    }
    printLine(table, static_cast<long>(after.rows.size()), compareSnapshots(table.before, after), status,
              held ? heldNote(table.name).c_str() : "");
}

}  // namespace

int32_t planBeforeImport(const char* typeCode) {
    const ImportMember* member = findMember(typeCode);
    if (member == nullptr) return 0;
    collectTables(*member);
    if (anyWithoutTransactions()) return RefusedResult;
    for (int i = 0; i < PlannedCount; ++i) {
        PlannedTable& table = Planned[i];
        if (table.facts.exists) table.readResult = takeSnapshot(table.name, table.before);
    }
    return 0;
}

void planAfterImport(const char* typeCode, const LoopOutcome& outcome) {
    if (findMember(typeCode) == nullptr) return;
    const bool commits = outcome.ending == LoopEnding::Completed;
    const bool held = outcome.ending == LoopEnding::TooManyDeleted;
    const int status = exitStatusFor(outcome.code);
    for (int i = 0; i < PlannedCount; ++i) planTable(Planned[i], commits, held, status);
}
