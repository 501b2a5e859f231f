// FCD: function codes into the interface table MGSSTFCD. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { FCDLiz, FCDMnd, FCDNum, FCDKrt, FCDTxt, FieldCount };

// FCDNum is a text like the others: a leading blank stays.
constexpr FieldSpec Layout[] = {
    {0, 5, true, FCDLiz, "FCDLiz"},
    {5, 5, true, FCDMnd, "FCDMnd"},
    {10, 3, true, FCDNum, "FCDNum"},
    {13, 1, true, FCDKrt, "FCDKrt"},
    {14, 50, true, FCDTxt, "FCDTxt"},
};

// Opening of every run: the file replaces the table's whole contents.
constexpr const char* deleteAllFCD[] = {"DELETE FROM Ruruvuro.MGSSTFCD"};

// One function-code row; FCDDat is the server's time of the insert.
bool insertFCD(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.MGSSTFCD  (FCDLiz, FCDMnd, FCDNum,  FCDKrt, FCDTxt, FCDDat)  "
        "VALUES ('%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[FCDLiz]), sqlText(row[FCDMnd]), sqlText(row[FCDNum]), sqlText(row[FCDKrt]),
         sqlText(row[FCDTxt])});
}

// Every record is inserted and counted, in both modes.
void planRecord(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, insertFCD);
}

}  // namespace

constexpr ImportMember MemberFCD = [] {
    ImportMember m;
    m.typeCode = "FCD";
    m.recordKind = m.longestKind = RecordFCD;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllFCD;
    m.openingCount = 1;
    m.planRecord = planRecord;
    m.table = "MGSSTFCD";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of MGSSTFCD is deleted, then each record is inserted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  Funktionscodes: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in MGSSTFCD eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberFCD));

// Handler of type code FCD.
