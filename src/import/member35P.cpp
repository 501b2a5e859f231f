// 35P: terminal records into the interface table MGSST35P. A record whose
// M35Bkl is "*ZKO" is not a row of MGSST35P: it sets ZLSZKO of the matching
// QVS401ZLS rows instead, silently and without being counted.
#include <cstring>

#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl, M35Zko, M35Zzo, M35Bch, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 255, true, M35Trm, "M35Trm (*ZKO: ZLSTRM)"},
    {255, 3, true, M35Fir, "M35Fir"},
    {258, 5, true, M35Bkl, "M35Bkl (*ZKO: sets ZLSZKO)"},
    {263, 2, true, M35Les, "M35Les (*ZKO: ZLSLES)"},
    {265, 2, true, M35Wle, "M35Wle"},
    {267, 3, true, M35Wpl, "M35Wpl"},
    {270, 5, true, M35Zko, "M35Zko (*ZKO: ZLSZKO)"},
    {275, 5, true, M35Zzo, "M35Zzo"},
    {280, 1, true, M35Bch, "M35Bch"},
};

constexpr KeyField Key[] = {
    {M35Trm, "M35Trm"}, {M35Fir, "M35Fir"}, {M35Bkl, "M35Bkl"},
    {M35Les, "M35Les"}, {M35Wle, "M35Wle"}, {M35Wpl, "M35Wpl"},
};

constexpr const char* ZkoMarker = "*ZKO";

constexpr const char* deleteAll35P[] = {"DELETE FROM Ruruvuro.MGSST35P"};

bool insert35P(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO Ruruvuro.MGSST35P  (M35Trm, M35Fir, M35Bkl,   M35Les, M35Wle, M35Wpl,   "
        "M35Zko, M35Zzo, M35Bch,   M35Dat)  VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  "
        "'%s', '%s', '%s',  SYSDATE())",
        {sqlText(row[M35Trm]), sqlText(row[M35Fir]), sqlText(row[M35Bkl]), sqlText(row[M35Les]),
         sqlText(row[M35Wle]), sqlText(row[M35Wpl]), sqlText(row[M35Zko]), sqlText(row[M35Zzo]),
         sqlText(row[M35Bch])});
}

bool update35P(const RecordRow& row) {
    return formatStatement(
        "UPDATE RuRuvuro.MGSST35P SET    M35Zko = '%s', M35Zzo = '%s',        M35Bch = '%s', "
        "M35Dat = SYSDATE() WHERE  M35Trm = '%s' AND    M35Fir = '%s' AND    M35Bkl = '%s' AND    "
        "M35Les = '%s' AND    M35Wle = '%s' AND    M35Wpl = '%s' ",
        {sqlText(row[M35Zko]), sqlText(row[M35Zzo]), sqlText(row[M35Bch]), sqlText(row[M35Trm]),
         sqlText(row[M35Fir]), sqlText(row[M35Bkl]), sqlText(row[M35Les]), sqlText(row[M35Wle]),
         sqlText(row[M35Wpl])});
}

bool updateZlsZko(const RecordRow& row) {
    return formatStatement(
        " UPDATE RURUVURO.QVS401ZLS  SET  ZLSZKO = '%s'  WHERE ZLSTRM = '%s'  AND ZLSLES = '%s' ",
        {sqlText(row[M35Zko]), sqlText(row[M35Trm]), sqlText(row[M35Les])});
}

// A "*ZKO" record updates QVS401ZLS in both modes and is never counted;
// the others are inserted, or in UpdateMode written (write35P): update,
// else insert.
void plan35P(RecordRow& row, RecordPlan& plan) {
    if (strcmp(row[M35Bkl], ZkoMarker) == 0) {
        addStep(plan, StepRole::Decides, updateZlsZko);
        plan.counts = false;
    } else if (outsideUpdateMode()) {
        addStep(plan, StepRole::Insert, insert35P);
    } else {
        addStep(plan, StepRole::Update, update35P, insert35P);
    }
}

constexpr const char* OtherTables[] = {"QVS401ZLS"};
constexpr unsigned OtherTableWrites[] = {UpdatesByKey};

// The set path: a window's records as one multi-row insert that, for a key
// already there, sets what the update sets (the update sets M35Zko, M35Zzo, M35Bch and M35Dat),
// each from its own row's values.
constexpr const char* Upsert35P =
    " ON DUPLICATE KEY UPDATE M35Zko = VALUES(M35Zko), M35Zzo = VALUES(M35Zzo), "
    "M35Bch = VALUES(M35Bch), M35Dat = VALUES(M35Dat)";

}  // namespace

constexpr ImportMember Member35P = [] {
    ImportMember m;
    m.typeCode = "35P";
    m.recordKind = m.longestKind = Record35P;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAll35P;
    m.openingCount = 1;
    m.openingApplies = outsideUpdateMode;
    m.planRecord = plan35P;
    m.table = "MGSST35P";
    m.otherTables = OtherTables;
    m.otherTableCount = 1;
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = Upsert35P;
    m.tableWrites = DeletesAll | Inserts;
    m.updateTableWrites = Inserts | UpdatesByKey;
    m.otherTableWrites = OtherTableWrites;
    m.writing = "replace: every row of MGSST35P is deleted, then each record is inserted; a record whose "
                "M35Bkl is *ZKO is no row of MGSST35P: it sets ZLSZKO of the QVS401ZLS rows with its "
                "M35Trm and M35Les, and is not counted";
    m.withUpdate = "nothing is deleted: each record updates M35Zko, M35Zzo and M35Bch of the row with its "
                   "M35Trm, M35Fir, M35Bkl, M35Les, M35Wle and M35Wpl, or is inserted when there is none; "
                   "*ZKO records as without UPD";
    m.failureMessage = "  Trm %s: Insert-Fehler: %d\n";
    m.updateModeFailureMessage = "  Trm %s: Write-Fehler: %d\n";
    m.failureField = M35Trm;
    m.countMessage = "\n%d Datensaetze in MGSST35P eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(Member35P));
