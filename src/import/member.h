// The description of a type code (a member) that drives the record loop:
// its record length, its record layout as a table of fields, the statements
// it sends for a record and its messages. The loop knows nothing of a
// particular table; a member knows nothing of how statements travel.
#pragma once
#include <cstdint>
#include <cstring>

#include "common/runstate.h"
#include "common/textfile.h"
#include "import/recordkinds.h"
#include "import/statement.h"

constexpr int MaxRecordFields = 32;
constexpr int MaxFieldWidth = 255;
constexpr int MaxRecordSteps = 3;
constexpr int MaxKeyFields = 8;

// One field of a record: where it stands in the line, and whether trailing
// blanks are cut off. target is the field's index in the member's row;
// column names the column it is written to (with what the statements make
// of it), for the description of the layout.
struct FieldSpec {
    int offset;
    int width;
    bool trimmed;
    int target;
    const char* column;
};

// The fields of one record, each a NUL-terminated text one byte wider than
// its record field.
struct RecordRow {
    char field[MaxRecordFields][MaxFieldWidth + 1];
    char* operator[](int index) { return field[index]; }
    const char* operator[](int index) const { return field[index]; }
};

// Formats one statement of a record into StatementBuffer; false when the
// text does not fit it (then nothing may be sent).
using RowStatement = bool (*)(const RecordRow& row);

// The part a statement plays for its record:
//   Insert    a plain insert whose result is the record's result; records
//             of the same insert may travel in one multi-row INSERT;
//   Decides   another statement whose result is the record's result (the
//             "*ZKO" update of 35P);
//   Ignored   its result counts for nothing, unless it ends the run (the
//             Sto and link rows of IDN);
//   Update    update-else-insert: when the update changed no row, insert
//             runs; an insert refused as a duplicate key means the record
//             is stored already and counts as written.
enum class StepRole { Insert, Decides, Ignored, Update };

struct RecordStep {
    StepRole role;
    RowStatement statement;
    RowStatement insert;   // Update only
};

// What a member sends for one record, in order.
struct RecordPlan {
    int stepCount = 0;
    RecordStep steps[MaxRecordSteps];
    bool counts = true;                   // false: neither counted nor reported ("*ZKO")
    int32_t resultWithoutStatement = 0;   // the result when no step is sent
};

// Whether a plan has a step of the given role.
inline bool planHasRole(const RecordPlan& plan, StepRole role) {
    for (int i = 0; i < plan.stepCount; ++i) {
        if (plan.steps[i].role == role) return true;
    }
    return false;
}

// Adds a step to a plan; insert only for StepRole::Update.
inline void addStep(RecordPlan& plan, StepRole role, RowStatement statement, RowStatement insert = nullptr) {
    if (plan.stepCount < MaxRecordSteps) plan.steps[plan.stepCount++] = {role, statement, insert};
}

// The first count fields of a row, in layout order, as text arguments of a
// statement: for the statements that take every field in the order of the
// record.
inline void rowTextArguments(const RecordRow& row, int count, SqlArg* args) {
    for (int i = 0; i < count; ++i) args[i] = sqlText(row[i]);
}

// A key column of the update: the row field that fills it, and its name in
// the member's table.
struct KeyField {
    int field;
    const char* column;
};

// How a member's statements write one of its tables, as flags: the
// opening deletes every row or marks every row, records insert rows or
// update rows found by key, the closing deletes the rows still marked.
// They say which rights the login needs on the table.
enum TableWrite : unsigned {
    DeletesAll = 1u << 0,
    MarksAll = 1u << 1,
    Inserts = 1u << 2,
    UpdatesByKey = 1u << 3,
    SweepsMarked = 1u << 4,
};

struct ImportMember {
    const char* typeCode = nullptr;
    RecordKind recordKind = Record20P;          // entry of RecordLengthTable
    RecordKind longestKind = Record20P;         // the form every field must fit
    RecordKind (*chooseRecordKind)(TextFile& workFile) = nullptr;   // null: recordKind
    const FieldSpec* layout = nullptr;
    int fieldCount = 0;

    // Fixed statements before the first record (delete or mark all rows;
    // the result is the last one's) and after the last (the sweep).
    const char* const* opening = nullptr;
    int openingCount = 0;
    bool (*openingApplies)() = nullptr;         // null: the opening always runs
    bool openingGuardsWrites = true;            // a failed opening forbids committing written records
    const char* closing = nullptr;
    const char* closingRole = nullptr;            // what the closing does, in words, for standard error
    const char* closingFailureLeaves = nullptr;   // and what it leaves behind when it fails

    // Per record: may rewrite fields (fill rules, a number's normal form)
    // before it says what to send.
    void (*planRecord)(RecordRow& row, RecordPlan& plan) = nullptr;
    // Asked after a record's statement failed: true when the member has
    // changed its statements for this record and the rest (SLD without
    // TswAmp), so the record is planned and sent again.
    bool (*replanAfter)(int32_t code) = nullptr;

    // The table of the inserts and updates, and the columns by which an
    // update finds its row (the records of one window must differ in them).
    // Other tables the member writes, for the check that they exist.
    const char* table = nullptr;
    const char* const* otherTables = nullptr;
    int otherTableCount = 0;
    const KeyField* key = nullptr;
    int keyCount = 0;
    unsigned tableWrites = 0;                   // TableWrite flags on table
    unsigned updateTableWrites = 0;             // the same with UPD; 0: UPD changes nothing
    const unsigned* otherTableWrites = nullptr; // the same, one per other table (UPD changes none)

    // For the description of the layout: how the tables are written, and
    // what the option UPD changes.
    const char* writing = nullptr;
    const char* withUpdate = nullptr;

    // The set path: the clause that makes the member's multi-row insert an
    // upsert setting exactly what its update sets, from each row's own
    // values, and the columns the update finds its row by, when they are
    // more than the key above (null: the key).
    const char* upsertClause = nullptr;
    const KeyField* updateKey = nullptr;
    int updateKeyCount = 0;

    const char* failureMessage = nullptr;       // "%d", or "%s" then "%d" with failureField
    const char* updateModeFailureMessage = nullptr;   // null: failureMessage in both modes
    int failureField = -1;                      // row field printed by "%s", or -1
    bool failureOnlyInDebug = false;
    const char* countMessage = nullptr;         // "%d" with RecordCount
};

// The member's opening is skipped in UpdateMode (20P, 35P, 41P, BKL).
inline bool outsideUpdateMode() {
    return UpdateMode == 0;
}

// Compile-time checks of a member description.
namespace memberchecks {

constexpr bool contains(const char* text, char a, char b) {
    for (; text != nullptr && *text != '\0'; ++text) {
        if (text[0] == a && text[1] == b) return true;
    }
    return false;
}

// Every field lies before the line end of the member's longest record.
constexpr bool fieldsFitTheRecord(const ImportMember& member) {
    const int32_t lineEnd = RecordLengthTable[member.longestKind] - 1;
    for (int i = 0; i < member.fieldCount; ++i) {
        const FieldSpec& place = member.layout[i];
        if (place.offset < 0 || place.width <= 0 || place.width > MaxFieldWidth) return false;
        if (place.offset + place.width > lineEnd) return false;
        if (place.target < 0 || place.target >= MaxRecordFields) return false;
        if (place.column == nullptr) return false;
    }
    return member.fieldCount <= MaxRecordFields;
}

// A failure field is given exactly when the failure messages print one.
constexpr bool failureFieldMatchesMessages(const ImportMember& member) {
    bool printsField = contains(member.failureMessage, '%', 's');
    bool updatePrintsField = member.updateModeFailureMessage == nullptr ||
                             contains(member.updateModeFailureMessage, '%', 's') == printsField;
    return updatePrintsField && printsField == (member.failureField >= 0);
}

// Every table the member names says how it is written, and the layout's
// description is complete.
constexpr bool tablesDescribed(const ImportMember& member) {
    if (member.tableWrites == 0 || member.writing == nullptr || member.withUpdate == nullptr) return false;
    if (member.otherTableCount > 0 && member.otherTableWrites == nullptr) return false;
    for (int i = 0; i < member.otherTableCount; ++i) {
        if (member.otherTableWrites[i] == 0) return false;
    }
    return true;
}

constexpr bool isSound(const ImportMember& member) {
    return recordKindOf(member.typeCode) == member.recordKind && fieldsFitTheRecord(member) &&
           failureFieldMatchesMessages(member) && member.keyCount <= MaxKeyFields && member.planRecord != nullptr &&
           member.countMessage != nullptr && tablesDescribed(member);
}

}  // namespace memberchecks
