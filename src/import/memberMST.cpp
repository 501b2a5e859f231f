// MST: employee status into the interface table MGSSTMST. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field {
    MSTLiz, MSTMnd, MSTAsw, MSTSts, MSTVbi, MSTAbe, MSTSbe, MSTKrt, MSTKst, MSTVon, MSTAbt, FieldCount
};

constexpr FieldSpec Layout[] = {
    {0, 5, true, MSTLiz, "MSTLiz"},
    {5, 5, true, MSTMnd, "MSTMnd"},
    {10, 13, true, MSTAsw, "MSTAsw"},
    {23, 1, true, MSTSts, "MSTSts"},
    {24, 23, true, MSTVbi, "MSTVbi"},
    {47, 33, true, MSTAbe, "MSTAbe"},
    {80, 33, true, MSTSbe, "MSTSbe"},
    {113, 1, true, MSTKrt, "MSTKrt"},
    {114, 50, true, MSTKst, "MSTKst"},
    {164, 8, true, MSTVon, "MSTVon"},
    {172, 30, true, MSTAbt, "MSTAbt"},
};

// Opening of every run: the file replaces the table's whole contents.
constexpr const char* deleteAllMST[] = {"DELETE FROM Ruruvuro.MGSSTMST"};

// One status row; MSTDat is the server's time of the insert.
bool insertMST(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.MGSSTMST  (MSTLiz, MSTMnd, MSTAsw,  MSTSts, MSTVbi, MSTAbe,  "
        "MSTSbe, MSTKrt, MSTKst,  MSTVon, MSTAbt, MSTDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  "
        "'%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[MSTLiz]), sqlText(row[MSTMnd]), sqlText(row[MSTAsw]), sqlText(row[MSTSts]),
         sqlText(row[MSTVbi]), sqlText(row[MSTAbe]), sqlText(row[MSTSbe]), sqlText(row[MSTKrt]),
         sqlText(row[MSTKst]), sqlText(row[MSTVon]), sqlText(row[MSTAbt])});
}

// Every record is inserted and counted, in both modes.
void planRecord(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, insertMST);
}

}  // namespace

constexpr ImportMember MemberMST = [] {
    ImportMember m;
    m.typeCode = "MST";
    m.recordKind = m.longestKind = RecordMST;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllMST;
    m.openingCount = 1;
    m.planRecord = planRecord;
    m.table = "MGSSTMST";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of MGSSTMST is deleted, then each record is inserted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  MitarbeiterStatus: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in MGSSTMST eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberMST));

// Handler of type code MST.
