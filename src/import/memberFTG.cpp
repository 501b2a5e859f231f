// FTG: holidays into the interface table MGSSTFTG. Every run, with or without
// UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { FTGTrm, FTGLiz, FTGMnd, FTGJhr, FTGDtm, FTGTxt, FTGKrt, FieldCount };

const FieldSpec Layout[] = {
    {0, 255, true, FTGTrm},
    {255, 5, true, FTGLiz},
    {260, 5, true, FTGMnd},
    {265, 4, true, FTGJhr},
    {269, 8, true, FTGDtm},
    {277, 20, true, FTGTxt},
    {297, 1, true, FTGKrt},
};

// Opening of every run: the file replaces the table's whole contents.
int32_t deleteAllFTG() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSSTFTG");
}

// One holiday row; FTGDat is the server's time of the insert.
int32_t insertFTG(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.MGSSTFTG  (FTGTrm, FTGLiz, FTGMnd,   FTGJhr, FTGDtm, FTGTxt,   "
        "FTGKrt, FTGDat)  VALUES ('%s', '%s', '%s',  '%s', '%s', '%s',  '%s', SYSDATE()) ",
        {sqlText(row[FTGTrm]), sqlText(row[FTGLiz]), sqlText(row[FTGMnd]), sqlText(row[FTGJhr]),
         sqlText(row[FTGDtm]), sqlText(row[FTGTxt]), sqlText(row[FTGKrt])});
}

// Every record is inserted and counted, in both modes.
WriteOutcome writeRecord(RecordRow& row) {
    return counted(insertFTG(row));
}

}  // namespace

const ImportMember MemberFTG = {
    RecordFTG, Layout, FieldCount,
    deleteAllFTG, nullptr,
    writeRecord, nullptr,
    "  Feiertag: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in MGSSTFTG eingefuegt\n",
    nullptr,
};

// Handler of type code FTG.
LoopOutcome importFTG(TextFile& workFile) {
    return runRecordLoop(MemberFTG, workFile);
}
