// MST: employee status into the interface table MGSSTMST. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field {
    MSTLiz, MSTMnd, MSTAsw, MSTSts, MSTVbi, MSTAbe, MSTSbe, MSTKrt, MSTKst, MSTVon, MSTAbt, FieldCount
};

const FieldSpec Layout[] = {
    {0, 5, true, MSTLiz},
    {5, 5, true, MSTMnd},
    {10, 13, true, MSTAsw},
    {23, 1, true, MSTSts},
    {24, 23, true, MSTVbi},
    {47, 33, true, MSTAbe},
    {80, 33, true, MSTSbe},
    {113, 1, true, MSTKrt},
    {114, 50, true, MSTKst},
    {164, 8, true, MSTVon},
    {172, 30, true, MSTAbt},
};

// Opening of every run: the file replaces the table's whole contents.
int32_t deleteAllMST() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSSTMST");
}

// One status row; MSTDat is the server's time of the insert.
int32_t insertMST(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.MGSSTMST  (MSTLiz, MSTMnd, MSTAsw,  MSTSts, MSTVbi, MSTAbe,  "
        "MSTSbe, MSTKrt, MSTKst,  MSTVon, MSTAbt, MSTDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  "
        "'%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[MSTLiz]), sqlText(row[MSTMnd]), sqlText(row[MSTAsw]), sqlText(row[MSTSts]),
         sqlText(row[MSTVbi]), sqlText(row[MSTAbe]), sqlText(row[MSTSbe]), sqlText(row[MSTKrt]),
         sqlText(row[MSTKst]), sqlText(row[MSTVon]), sqlText(row[MSTAbt])});
}

// Every record is inserted and counted, in both modes.
WriteOutcome writeRecord(RecordRow& row) {
    return counted(insertMST(row));
}

}  // namespace

const ImportMember MemberMST = {
    RecordMST, Layout, FieldCount,
    deleteAllMST, nullptr,
    writeRecord, nullptr,
    "  MitarbeiterStatus: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in MGSSTMST eingefuegt\n",
    nullptr,
};

// Handler of type code MST.
LoopOutcome importMST(TextFile& workFile) {
    return runRecordLoop(MemberMST, workFile);
}
