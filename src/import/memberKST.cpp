// KST: cost centres into the master table QVS120KID, kept in line with the
// file by mark and sweep. Every row is first marked with status 4, each
// record updates its row (or inserts it) with status 1, and the rows still
// marked at the end are deleted. UpdateMode changes nothing here.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { KidKst, KidMnd, KidLiz, KidNum, KidSys, KidTxt, KidErf, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 30, true, KidKst, "KidKst"},
    {30, 5, true, KidMnd, "KidMnd"},
    {35, 5, true, KidLiz, "KidLiz"},
    {40, 7, true, KidNum, "KidNum (blank: NULL)"},
    {47, 7, true, KidSys, "KidSys"},
    {54, 30, true, KidTxt, "KidTxt"},
    {84, 50, true, KidErf, "KidErf"},
};

// Status of a row written from the file; rows still at MarkedStatus after
// the run were not in the file.
constexpr short WrittenStatus = 1;

constexpr KeyField Key[] = {{KidKst, "KidKst"}, {KidMnd, "KidMnd"}, {KidLiz, "KidLiz"}};

// Marks every row as not yet seen in the file.
constexpr const char* markCostCentres[] = {"UPDATE RURUVURO.QVS120KID SET  KidSta = 4 "};

// Deletes the rows that no record of the file touched.
constexpr const char* sweepCostCentres = "DELETE FROM RURUVURO.QVS120KID WHERE KidSta = 4 ";

// KidNum goes in as NULL when the field is blank, else as a quoted literal.
bool updateCostCentre(const RecordRow& row) {
    return formatStatement(
        " UPDATE  RURUVURO.QVS120KID SET  KidNum = %s,  KidSys = '%s',  KidTxt = '%s',  KidSta = %d,  "
        "KidErf = '%s'  WHERE  KidKst = '%s'  AND  KidMnd = '%s'  AND  KidLiz = '%s'",
        {sqlOptionalText(row[KidNum]), sqlText(row[KidSys]), sqlText(row[KidTxt]), sqlNumber(WrittenStatus),
         sqlText(row[KidErf]), sqlText(row[KidKst]), sqlText(row[KidMnd]), sqlText(row[KidLiz])});
}

bool insertCostCentre(const RecordRow& row) {
    return formatStatement(
        " INSERT INTO RURUVURO.QVS120KID  ( KidKst, KidMnd, KidLiz, KidNum,  KidSys, KidTxt, KidSta, "
        "KidErf )  VALUES ('%s', '%s', '%s', %s, '%s', '%s', %hd, '%s' )",
        {sqlText(row[KidKst]), sqlText(row[KidMnd]), sqlText(row[KidLiz]), sqlOptionalText(row[KidNum]),
         sqlText(row[KidSys]), sqlText(row[KidTxt]), sqlNumber(WrittenStatus), sqlText(row[KidErf])});
}

// writeCostCentre: the record's row is updated, or inserted when the update
// changed none.
void writeCostCentre(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Update, updateCostCentre, insertCostCentre);
}

// The set path: a window's records as one multi-row insert that, for a key
// already there, sets what the update sets (the update sets KidNum, KidSys, KidTxt, KidSta and KidErf),
// each from its own row's values.
constexpr const char* UpsertCostCentres =
    " ON DUPLICATE KEY UPDATE KidNum = VALUES(KidNum), KidSys = VALUES(KidSys), "
    "KidTxt = VALUES(KidTxt), KidSta = VALUES(KidSta), KidErf = VALUES(KidErf)";

}  // namespace

constexpr ImportMember MemberKST = [] {
    ImportMember m;
    m.typeCode = "KST";
    m.recordKind = m.longestKind = RecordKST;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = markCostCentres;
    m.openingCount = 1;
    m.closing = sweepCostCentres;
    m.closingRole = "delete the rows still marked";
    m.closingFailureLeaves = "the marked rows stay and are committed with status 4";
    m.planRecord = writeCostCentre;
    m.table = "QVS120KID";
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = UpsertCostCentres;
    m.tableWrites = MarksAll | Inserts | UpdatesByKey | SweepsMarked;
    m.writing = "sync: every row of QVS120KID is marked (KidSta = 4), each record updates the row with "
                "its KidKst, KidMnd and KidLiz (KidSta = 1) or is inserted, then the rows still marked "
                "are deleted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  Kostenstellen: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in Qvs120KID eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberKST));
