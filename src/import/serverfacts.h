// What the server will do with the statements of a run, read once per run
// from its own catalogue and variables. Windows change how statements
// travel, never what they do, and each way of sending more than one record
// at a time is used only where these facts show that the server cannot make
// the outcome differ from one statement per query.
#pragma once
#include <cstddef>
#include <cstdint>

#include "import/member.h"

constexpr size_t FactsReasonSize = 256;

// The session's side.
struct SessionFacts {
    bool strict = false;              // a bad value fails its statement instead of being bent into shape
    bool rollbackOnTimeout = true;    // a lock wait timeout ends the whole transaction
    bool conditionalInsert = false;   // the server runs the compound IF that carries an insert after its update
    bool noWaitStatements = false;    // the server takes the NoWaitPrefix below
};

// Put before a statement that carries several records: it fails at once
// with a lock wait timeout where it would wait for another transaction's row
// lock or a table's lock, leaving the transaction open (with
// innodb_rollback_on_timeout off), so that its records can go one by one and
// wait (or meet a deadlock) each at its own statement, as they would one
// statement per query.
constexpr const char* NoWaitPrefix = "SET STATEMENT innodb_lock_wait_timeout = 0, lock_wait_timeout = 0 FOR ";

// One table's side. Until the catalogue has answered, every fact stands at
// its unsafe side.
struct TableFacts {
    bool known = false;           // the catalogue answered
    bool exists = true;
    bool transactional = false;
    bool triggers = true;         // a trigger can do anything
    bool autoIncrement = true;    // numbers (AUTO_INCREMENT, a default from a sequence) that a failed
                                  // multi-row statement would use up
    bool foreignKeys = true;      // rows of other tables take part in every write
};

SessionFacts readSessionFacts();

// The facts of a table, asked of the catalogue the first time in a run.
// table is one of the members' own names, which live as long as the run.
TableFacts readTableFacts(const char* table);

// The facts of a table of any schema, asked of the catalogue each time: the
// journal's table, which kelvora-settings checks.
TableFacts queryTableFactsIn(const char* schema, const char* table);

// The storage engine of a table of any schema as the catalogue names it
// ("MyISAM"), into engine (room for size bytes), for messages. Returns 0,
// the error number, or -1 when the catalogue names none.
int32_t queryTableEngineIn(const char* schema, const char* table, char* engine, size_t size);

// Whether the table's unique indexes are exactly one, on exactly the given
// columns (in any order) and on each whole column, not a prefix of it: then
// a duplicate key can only ever be the row the update finds.
bool onlyUniqueIndexIs(const char* table, const KeyField* columns, int count);

// Whether every text column of the given ones holds at least the width of
// the record field that fills it, so that no key is cut on its way in, and
// compares as its unique index does: a CHAR column with a NO PAD collation
// drops trailing blanks when it stores a value but not when it compares one.
// Columns that are not text are passed over. Names the first that fails, and
// why, in reason.
bool keyColumnsHoldTheirFields(const ImportMember& member, const KeyField* columns, int count, char* reason,
                               size_t reasonSize);
