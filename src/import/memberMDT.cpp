// MDT: employee details into the interface table MGSSTMDT. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { MDTLiz, MDTMnd, MDTAsw, MDTDtm, MDTAbe, MDTSbe, MDTSts, MDTKrt, FieldCount };

const FieldSpec Layout[] = {
    {0, 5, true, MDTLiz},
    {5, 5, true, MDTMnd},
    {10, 13, true, MDTAsw},
    {23, 10, true, MDTDtm},
    {33, 33, true, MDTAbe},
    {66, 33, true, MDTSbe},
    {99, 1, true, MDTSts},
    {100, 1, true, MDTKrt},
};

// Opening of every run: the file replaces the table's whole contents.
int32_t deleteAllMDT() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSSTMDT");
}

// One detail row; MDTDat is the server's time of the insert.
int32_t insertMDT(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.MGSSTMDT  (MDTLiz, MDTMnd, MDTAsw,  MDTDtm, MDTAbe, MDTSbe,  "
        "MDTSts, MDTKrt, MDTDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[MDTLiz]), sqlText(row[MDTMnd]), sqlText(row[MDTAsw]), sqlText(row[MDTDtm]),
         sqlText(row[MDTAbe]), sqlText(row[MDTSbe]), sqlText(row[MDTSts]), sqlText(row[MDTKrt])});
}

// Every record is inserted and counted, in both modes.
WriteOutcome writeRecord(RecordRow& row) {
    return counted(insertMDT(row));
}

}  // namespace

const ImportMember MemberMDT = {
    RecordMDT, Layout, FieldCount,
    deleteAllMDT, nullptr,
    writeRecord, nullptr,
    "  MitarbeiterDetail: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in MGSSTMDT eingefuegt\n",
    nullptr,
};

// Handler of type code MDT.
LoopOutcome importMDT(TextFile& workFile) {
    return runRecordLoop(MemberMDT, workFile);
}
