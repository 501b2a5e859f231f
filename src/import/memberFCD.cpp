// FCD: function codes into the interface table MGSSTFCD. Every run, with or
// without UPD, empties the table and inserts one row per record.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { FCDLiz, FCDMnd, FCDNum, FCDKrt, FCDTxt, FieldCount };

// FCDNum is a text like the others: a leading blank stays.
const FieldSpec Layout[] = {
    {0, 5, true, FCDLiz},
    {5, 5, true, FCDMnd},
    {10, 3, true, FCDNum},
    {13, 1, true, FCDKrt},
    {14, 50, true, FCDTxt},
};

// Opening of every run: the file replaces the table's whole contents.
int32_t deleteAllFCD() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSSTFCD");
}

// One function-code row; FCDDat is the server's time of the insert.
int32_t insertFCD(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.MGSSTFCD  (FCDLiz, FCDMnd, FCDNum,  FCDKrt, FCDTxt, FCDDat)  "
        "VALUES ('%s', '%s', '%s',  '%s', '%s', SYSDATE()) ",
        {sqlText(row[FCDLiz]), sqlText(row[FCDMnd]), sqlText(row[FCDNum]), sqlText(row[FCDKrt]),
         sqlText(row[FCDTxt])});
}

// Every record is inserted and counted, in both modes.
WriteOutcome writeRecord(RecordRow& row) {
    return counted(insertFCD(row));
}

}  // namespace

const ImportMember MemberFCD = {
    RecordFCD, Layout, FieldCount,
    deleteAllFCD, nullptr,
    writeRecord, nullptr,
    "  Funktionscodes: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in MGSSTFCD eingefuegt\n",
    nullptr,
};

// Handler of type code FCD.
LoopOutcome importFCD(TextFile& workFile) {
    return runRecordLoop(MemberFCD, workFile);
}
