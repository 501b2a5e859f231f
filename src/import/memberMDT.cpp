// MDT: employee details into the interface table MGSSTMDT. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { MDTLiz, MDTMnd, MDTAsw, MDTDtm, MDTAbe, MDTSbe, MDTSts, MDTKrt, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 5, true, MDTLiz, "MDTLiz"},
    {5, 5, true, MDTMnd, "MDTMnd"},
    {10, 13, true, MDTAsw, "MDTAsw"},
    {23, 10, true, MDTDtm, "MDTDtm"},
    {33, 33, true, MDTAbe, "MDTAbe"},
    {66, 33, true, MDTSbe, "MDTSbe"},
    {99, 1, true, MDTSts, "MDTSts"},
    {100, 1, true, MDTKrt, "MDTKrt"},
};

// Opening of every run: the file replaces the table's whole contents.
constexpr const char* deleteAllMDT[] = {"DELETE FROM Ruruvuro.MGSSTMDT"};

// One detail row; MDTDat is the server's time of the insert.
bool insertMDT(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.MGSSTMDT  (MDTLiz, MDTMnd, MDTAsw,  MDTDtm, MDTAbe, MDTSbe,  "
        "MDTSts, MDTKrt, MDTDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[MDTLiz]), sqlText(row[MDTMnd]), sqlText(row[MDTAsw]), sqlText(row[MDTDtm]),
         sqlText(row[MDTAbe]), sqlText(row[MDTSbe]), sqlText(row[MDTSts]), sqlText(row[MDTKrt])});
}

// Every record is inserted and counted, in both modes.
void planRecord(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, insertMDT);
}

}  // namespace

constexpr ImportMember MemberMDT = [] {
    ImportMember m;
    m.typeCode = "MDT";
    m.recordKind = m.longestKind = RecordMDT;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllMDT;
    m.openingCount = 1;
    m.planRecord = planRecord;
    m.table = "MGSSTMDT";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of MGSSTMDT is deleted, then each record is inserted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  MitarbeiterDetail: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in MGSSTMDT eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberMDT));

// Handler of type code MDT.
