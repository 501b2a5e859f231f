// 20P: terminal assignments into the interface table MGSST20P. ReplaceMode
// empties the table and inserts every record; UpdateMode keeps the table and
// writes each record by update-else-insert on its key.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb, FieldCount };

// M20Zz2, M20Ofv and M20Ofb are stored exactly as they stand, blanks included.
constexpr FieldSpec Layout[] = {
    {0, 255, true, M20Trm, "M20Trm"},
    {255, 2, true, M20Sch, "M20Sch"},
    {257, 1, true, M20Tg1, "M20Tg1"},
    {258, 5, false, M20Zz2, "M20Zz2"},
    {263, 4, false, M20Ofv, "M20Ofv"},
    {267, 4, false, M20Ofb, "M20Ofb"},
};

constexpr KeyField Key[] = {
    {M20Trm, "M20Trm"}, {M20Sch, "M20Sch"}, {M20Tg1, "M20Tg1"}, {M20Zz2, "M20Zz2"}, {M20Ofv, "M20Ofv"},
};

constexpr const char* deleteAll20P[] = {"DELETE FROM Ruruvuro.MGSST20P"};

bool insert20P(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO Ruruvuro.MGSST20P  (M20Trm, M20Sch, M20Tg1,   M20Zz2, M20Ofv, M20Ofb,   M20Dat)  "
        "VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  SYSDATE())",
        {sqlText(row[M20Trm]), sqlText(row[M20Sch]), sqlText(row[M20Tg1]), sqlText(row[M20Zz2]),
         sqlText(row[M20Ofv]), sqlText(row[M20Ofb])});
}

bool update20P(const RecordRow& row) {
    return formatStatement(
        "UPDATE RuRuvuro.MGSST20P SET    M20Ofb = '%s', M20Dat = SYSDATE() WHERE  M20Trm = '%s' AND    "
        "M20Sch = '%s' AND    M20Tg1 = '%s' AND    M20Zz2 = '%s' AND    M20Ofv = '%s' ",
        {sqlText(row[M20Ofb]), sqlText(row[M20Trm]), sqlText(row[M20Sch]), sqlText(row[M20Tg1]),
         sqlText(row[M20Zz2]), sqlText(row[M20Ofv])});
}

// ReplaceMode inserts; UpdateMode writes (write20P): update, else insert.
void plan20P(RecordRow&, RecordPlan& plan) {
    if (outsideUpdateMode()) {
        addStep(plan, StepRole::Insert, insert20P);
    } else {
        addStep(plan, StepRole::Update, update20P, insert20P);
    }
}

// The set path: a window's records as one multi-row insert that, for a key
// already there, sets what the update sets (the update sets M20Ofb and M20Dat),
// each from its own row's values.
constexpr const char* Upsert20P =
    " ON DUPLICATE KEY UPDATE M20Ofb = VALUES(M20Ofb), M20Dat = VALUES(M20Dat)";

}  // namespace

constexpr ImportMember Member20P = [] {
    ImportMember m;
    m.typeCode = "20P";
    m.recordKind = m.longestKind = Record20P;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAll20P;
    m.openingCount = 1;
    m.openingApplies = outsideUpdateMode;
    m.planRecord = plan20P;
    m.table = "MGSST20P";
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = Upsert20P;
    m.tableWrites = DeletesAll | Inserts;
    m.updateTableWrites = Inserts | UpdatesByKey;
    m.writing = "replace: every row of MGSST20P is deleted, then each record is inserted";
    m.withUpdate = "nothing is deleted: each record updates M20Ofb of the row with its M20Trm, M20Sch, "
                   "M20Tg1, M20Zz2 and M20Ofv, or is inserted when there is none";
    m.failureMessage = "  Trm %s: Insert-Fehler: %d\n";
    m.updateModeFailureMessage = "  Trm %s: Write-Fehler: %d\n";
    m.failureField = M20Trm;
    m.countMessage = "\n%d Datensaetze in MGSST20P eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(Member20P));
