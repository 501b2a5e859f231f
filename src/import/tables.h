// The rights on the tables the members write: those their statements need,
// and those the login holds. Whether a table exists and keeps transactions
// is in import/serverfacts.h.
#pragma once
#include <cstdint>

#include "import/member.h"

// Rights on a table, as flags.
enum TableRight : unsigned {
    RightSelect = 1u << 0,
    RightInsert = 1u << 1,
    RightUpdate = 1u << 2,
    RightDelete = 1u << 3,
};
constexpr int TableRightCount = 4;
extern const char* const TableRightNames[TableRightCount];   // "SELECT", ... in flag order

// The rights that statements writing a table this way (TableWrite flags)
// need: deleting every row DELETE, marking every row UPDATE, inserting
// INSERT; an update by key and the sweep also read the rows they choose,
// so they need SELECT beside UPDATE or DELETE.
unsigned rightsNeeded(unsigned tableWrites);

// How the member's statements write one of its tables (TableWrite flags):
// other = -1 its own table, else its other table of that index; the option
// UPD changes only the own table's, and only where the member says so.
enum class WriteMode { Replace, Update };
unsigned tableWritesOf(const ImportMember& member, int other, WriteMode mode);

// The flags of the statements that delete rows.
constexpr unsigned DeletingWrites = DeletesAll | SweepsMarked;

// The rights the login holds on a table of RURUVURO, as the server's
// privilege tables show them to the login itself: granted on every
// database, on RURUVURO (or a pattern that matches it) or on the table.
// Rights that come only through a role are not shown there. 0, or the
// error number of the question.
int32_t queryTableRights(const char* table, unsigned& rights);

// The same for a table of any schema (the journal's table).
int32_t queryTableRightsIn(const char* schema, const char* table, unsigned& rights);
