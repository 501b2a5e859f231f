#include "import/ways.h"

#include <cstdio>

#include "common/diag.h"
#include "import/rowkey.h"

namespace {

// Names, once, a way of sending that the server's set-up rules out.
void sayRefused(const char* table, const char* what, const char* reason) {
    diagnose("table RURUVURO.%s: %s, because %s; its records go one statement at a time, in file order", table,
             what, reason);
}

// Why a table's facts rule out statements that carry several records, or
// null when they do not: only where a failing row keeps the whole statement
// from taking effect and is an error, as it is for a single row (strict
// mode, a table with transactions), where nothing but the rows themselves
// takes part (no trigger, no foreign key, no numbers used up by a statement
// that fails), and where the statement can be kept from waiting for a lock
// and a lock wait ends only the statement (serverfacts.h, NoWaitPrefix).
const char* whyNotTogether(const SessionFacts& session, const TableFacts& table) {
    if (!session.strict) return "the session is not in strict mode (a bad value would become a warning)";
    if (!table.known) return "its definition could not be read";
    if (!table.transactional) return "it has no transactions";
    if (table.triggers) return "it has triggers";
    if (table.foreignKeys) return "it takes part in a foreign key";
    if (table.autoIncrement) return "it has an AUTO_INCREMENT column or a default from a sequence";
    if (session.rollbackOnTimeout) return "innodb_rollback_on_timeout is on";
    if (!session.noWaitStatements) return "the server cannot keep a statement from waiting for a lock";
    return nullptr;
}

const SessionFacts& session(Ways& ways) {
    if (!ways.sessionRead) {
        ways.session = readSessionFacts();
        ways.sessionRead = true;
    }
    return ways.session;
}

// Plain inserts join multi-row INSERTs where a failing row leaves nothing
// behind, so that its records can go again one by one.
void decideGroups(Ways& ways, const ImportMember& member) {
    const char* reason = whyNotTogether(session(ways), readTableFacts(member.table));
    ways.groups = reason == nullptr ? 1 : 0;
    if (reason != nullptr) sayRefused(member.table, "records are not joined into multi-row INSERTs", reason);
}

// Why the set path is not exact for the member's table, or null: what
// rules out several records in one statement, any trigger or foreign key on
// the tables it also writes, a duplicate key that could be found on another
// index than the update's, keys that could be cut on their way in, and keys
// whose equality the window cannot tell as the server does.
const char* whyNoSetPath(const SessionFacts& session, const ImportMember& member, char* reason, size_t reasonSize) {
    if (member.upsertClause == nullptr) return "the member has no upsert";
    const char* together = whyNotTogether(session, readTableFacts(member.table));
    if (together != nullptr) return together;
    for (int i = 0; i < member.otherTableCount; ++i) {
        TableFacts other = readTableFacts(member.otherTables[i]);
        if (other.triggers || other.foreignKeys) {
            snprintf(reason, reasonSize, "table %s, which it writes too, has triggers or foreign keys",
                     member.otherTables[i]);
            return reason;
        }
    }
    const KeyField* updateKey = member.updateKey != nullptr ? member.updateKey : member.key;
    const int updateKeyCount = member.updateKey != nullptr ? member.updateKeyCount : member.keyCount;
    if (!onlyUniqueIndexIs(member.table, updateKey, updateKeyCount)) {
        return "its unique indexes are not exactly one, on the update's key columns";
    }
    if (!keyColumnsHoldTheirFields(member, updateKey, updateKeyCount, reason, reasonSize)) return reason;
    if (!prepareRowKeys(member)) return "the equality of its keys cannot be told from their bytes";
    return nullptr;
}

// Inserts after updates travel in the update's query when the server runs
// the compound statement that carries them; update-else-insert records of a
// window go as one upsert where that is exact (whyNoSetPath).
void decideUpdates(Ways& ways, const ImportMember& member) {
    ways.wrapInserts = session(ways).conditionalInsert ? 1 : 0;
    if (ways.wrapInserts == 0) {
        sayRefused(member.table, "inserts after updates are not sent with them",
                   "the server does not run a compound IF statement");
    }
    char reason[FactsReasonSize];
    const char* why = whyNoSetPath(session(ways), member, reason, sizeof reason);
    ways.setPath = why == nullptr ? 1 : 0;
    if (why != nullptr) {
        sayRefused(member.table, "update-else-insert records are not sent as one upsert per window", why);
    }
}

// Whether a table changes only as the statements say: no trigger, no
// foreign key whose cascade could take a row away, and no number that a
// statement uses up even when it fails.
bool changesOnlyAsSent(const char* table) {
    const TableFacts facts = readTableFacts(table);
    return !facts.triggers && !facts.foreignKeys && !facts.autoIncrement;
}

// A Sto or link text refused as a duplicate is refused again, with nothing
// else changed, as long as the tables change only as the statements say.
void decideDuplicates(Ways& ways, const ImportMember& member) {
    bool unchanged = changesOnlyAsSent(member.table);
    for (int i = 0; i < member.otherTableCount; ++i) unchanged = unchanged && changesOnlyAsSent(member.otherTables[i]);
    ways.skipDuplicates = unchanged ? 1 : 0;
}

// The rows whose results count for nothing (IDN's Sto and link rows) of a
// window whose records the upsert has written travel as one multi-row
// INSERT per statement, after the upsert as on the set path. Their tables
// are apart from each other and from the member's table (no trigger, no
// foreign key), so only the order of a table's own rows matters, and that
// order is kept; a failing row leaves nothing behind, and the rows go again
// one by one.
void decideIgnoredGroups(Ways& ways, const ImportMember& member) {
    ways.groupIgnored = ways.setPath == 1 ? 1 : 0;
    for (int i = 0; i < member.otherTableCount && ways.groupIgnored == 1; ++i) {
        const char* reason = whyNotTogether(session(ways), readTableFacts(member.otherTables[i]));
        if (reason == nullptr) continue;
        ways.groupIgnored = 0;
        sayRefused(member.otherTables[i], "rows whose results are ignored are not joined into multi-row INSERTs",
                   reason);
    }
}

}  // namespace

bool waysToDecide(const Ways& ways, const RecordPlan& plan, bool windows) {
    if (!windows) return false;
    return (ways.groups < 0 && planHasRole(plan, StepRole::Insert)) ||
           (ways.wrapInserts < 0 && planHasRole(plan, StepRole::Update)) ||
           ((ways.skipDuplicates < 0 || ways.groupIgnored < 0) && planHasRole(plan, StepRole::Ignored));
}

void decideWays(Ways& ways, const ImportMember& member, const RecordPlan& plan, bool windows) {
    if (!windows) {
        ways.groups = ways.wrapInserts = ways.setPath = ways.skipDuplicates = ways.groupIgnored = 0;
        return;
    }
    if (ways.groups < 0 && planHasRole(plan, StepRole::Insert)) decideGroups(ways, member);
    if (ways.wrapInserts < 0 && planHasRole(plan, StepRole::Update)) decideUpdates(ways, member);
    if (ways.skipDuplicates < 0 && planHasRole(plan, StepRole::Ignored)) decideDuplicates(ways, member);
    if (ways.groupIgnored < 0 && planHasRole(plan, StepRole::Ignored)) decideIgnoredGroups(ways, member);
}
