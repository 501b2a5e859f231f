// FTG: holidays into the interface table MGSSTFTG. Every run, with or without
// UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { FTGTrm, FTGLiz, FTGMnd, FTGJhr, FTGDtm, FTGTxt, FTGKrt, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 255, true, FTGTrm, "FTGTrm"},
    {255, 5, true, FTGLiz, "FTGLiz"},
    {260, 5, true, FTGMnd, "FTGMnd"},
    {265, 4, true, FTGJhr, "FTGJhr"},
    {269, 8, true, FTGDtm, "FTGDtm"},
    {277, 20, true, FTGTxt, "FTGTxt"},
    {297, 1, true, FTGKrt, "FTGKrt"},
};

// Opening of every run: the file replaces the table's whole contents.
constexpr const char* deleteAllFTG[] = {"DELETE FROM Ruruvuro.MGSSTFTG"};

// One holiday row; FTGDat is the server's time of the insert.
bool insertFTG(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.MGSSTFTG  (FTGTrm, FTGLiz, FTGMnd,   FTGJhr, FTGDtm, FTGTxt,   "
        "FTGKrt, FTGDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  '%s', SYSDATE()) ",
        {sqlText(row[FTGTrm]), sqlText(row[FTGLiz]), sqlText(row[FTGMnd]), sqlText(row[FTGJhr]),
         sqlText(row[FTGDtm]), sqlText(row[FTGTxt]), sqlText(row[FTGKrt])});
}

// Every record is inserted and counted, in both modes.
void planRecord(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, insertFTG);
}

}  // namespace

constexpr ImportMember MemberFTG = [] {
    ImportMember m;
    m.typeCode = "FTG";
    m.recordKind = m.longestKind = RecordFTG;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllFTG;
    m.openingCount = 1;
    m.planRecord = planRecord;
    m.table = "MGSSTFTG";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of MGSSTFTG is deleted, then each record is inserted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  Feiertag: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in MGSSTFTG eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberFTG));

// Handler of type code FTG.
