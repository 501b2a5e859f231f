// 41P: terminal ranges into the interface table MGSST41P. ReplaceMode empties
// the table and inserts every record; UpdateMode writes M41Bis of the row
// with the record's key, inserting the row when there is none.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { M41Trm, M41Fir, M41Zpl, M41Wnr, M41Zzo, M41Tnr, M41Von, M41Bis, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 255, true, M41Trm, "M41Trm"},
    {255, 3, true, M41Fir, "M41Fir"},
    {258, 3, true, M41Zpl, "M41Zpl"},
    {261, 2, true, M41Wnr, "M41Wnr"},
    {263, 5, true, M41Zzo, "M41Zzo"},
    {268, 1, true, M41Tnr, "M41Tnr"},
    {269, 4, true, M41Von, "M41Von"},
    {273, 4, true, M41Bis, "M41Bis"},
};

constexpr KeyField Key[] = {
    {M41Trm, "M41Trm"}, {M41Fir, "M41Fir"}, {M41Zpl, "M41Zpl"}, {M41Wnr, "M41Wnr"},
    {M41Zzo, "M41Zzo"}, {M41Tnr, "M41Tnr"}, {M41Von, "M41Von"},
};

constexpr const char* deleteAll41P[] = {"DELETE FROM Ruruvuro.MGSST41P"};

bool insert41P(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO Ruruvuro.MGSST41P  (M41Trm, M41Fir, M41Zpl,   M41Wnr, M41Zzo, M41Tnr,   "
        "M41Von, M41Bis, M41Dat)  VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  '%s', '%s', SYSDATE())",
        {sqlText(row[M41Trm]), sqlText(row[M41Fir]), sqlText(row[M41Zpl]), sqlText(row[M41Wnr]),
         sqlText(row[M41Zzo]), sqlText(row[M41Tnr]), sqlText(row[M41Von]), sqlText(row[M41Bis])});
}

bool update41P(const RecordRow& row) {
    return formatStatement(
        "UPDATE RuRuvuro.MGSST41P SET    M41Bis = '%s', M41Dat = SYSDATE() WHERE  M41Trm = '%s' AND    "
        "M41Fir = '%s' AND    M41Zpl = '%s' AND    M41Wnr = '%s' AND    M41Zzo = '%s' AND    "
        "M41Tnr = '%s' AND    M41Von = '%s' ",
        {sqlText(row[M41Bis]), sqlText(row[M41Trm]), sqlText(row[M41Fir]), sqlText(row[M41Zpl]),
         sqlText(row[M41Wnr]), sqlText(row[M41Zzo]), sqlText(row[M41Tnr]), sqlText(row[M41Von])});
}

// ReplaceMode inserts; UpdateMode writes (write41P): update, else insert.
void plan41P(RecordRow&, RecordPlan& plan) {
    if (outsideUpdateMode()) {
        addStep(plan, StepRole::Insert, insert41P);
    } else {
        addStep(plan, StepRole::Update, update41P, insert41P);
    }
}

// The set path: a window's records as one multi-row insert that, for a key
// already there, sets what the update sets (the update sets M41Bis and M41Dat),
// each from its own row's values.
constexpr const char* Upsert41P =
    " ON DUPLICATE KEY UPDATE M41Bis = VALUES(M41Bis), M41Dat = VALUES(M41Dat)";

}  // namespace

constexpr ImportMember Member41P = [] {
    ImportMember m;
    m.typeCode = "41P";
    m.recordKind = m.longestKind = Record41P;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAll41P;
    m.openingCount = 1;
    m.openingApplies = outsideUpdateMode;
    m.planRecord = plan41P;
    m.table = "MGSST41P";
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = Upsert41P;
    m.tableWrites = DeletesAll | Inserts;
    m.updateTableWrites = Inserts | UpdatesByKey;
    m.writing = "replace: every row of MGSST41P is deleted, then each record is inserted";
    m.withUpdate = "nothing is deleted: each record updates M41Bis of the row with its M41Trm, M41Fir, "
                   "M41Zpl, M41Wnr, M41Zzo, M41Tnr and M41Von, or is inserted when there is none";
    m.failureMessage = "  Trm %s: Insert-Fehler: %d\n";
    m.updateModeFailureMessage = "  Trm %s: Write-Fehler: %d\n";
    m.failureField = M41Trm;
    m.countMessage = "\n%d Datensaetze in MGSST41P eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(Member41P));
