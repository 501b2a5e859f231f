// 41P: terminal ranges into the interface table MGSST41P. ReplaceMode empties
// the table and inserts every record; UpdateMode writes M41Bis of the row
// with the record's key, inserting the row when there is none.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { M41Trm, M41Fir, M41Zpl, M41Wnr, M41Zzo, M41Tnr, M41Von, M41Bis, FieldCount };

const FieldSpec Layout[] = {
    {0, 255, true, M41Trm},
    {255, 3, true, M41Fir},
    {258, 3, true, M41Zpl},
    {261, 2, true, M41Wnr},
    {263, 5, true, M41Zzo},
    {268, 1, true, M41Tnr},
    {269, 4, true, M41Von},
    {273, 4, true, M41Bis},
};

int32_t deleteAll41P() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSST41P");
}

int32_t insert41P(const RecordRow& row) {
    return runStatement(
        "INSERT INTO Ruruvuro.MGSST41P  (M41Trm, M41Fir, M41Zpl,   M41Wnr, M41Zzo, M41Tnr,   "
        "M41Von, M41Bis, M41Dat)  VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  '%s', '%s', SYSDATE())",
        {sqlText(row[M41Trm]), sqlText(row[M41Fir]), sqlText(row[M41Zpl]), sqlText(row[M41Wnr]),
         sqlText(row[M41Zzo]), sqlText(row[M41Tnr]), sqlText(row[M41Von]), sqlText(row[M41Bis])});
}

int32_t update41P(const RecordRow& row) {
    return runStatement(
        "UPDATE RuRuvuro.MGSST41P SET    M41Bis = '%s', M41Dat = SYSDATE() WHERE  M41Trm = '%s' AND    "
        "M41Fir = '%s' AND    M41Zpl = '%s' AND    M41Wnr = '%s' AND    M41Zzo = '%s' AND    "
        "M41Tnr = '%s' AND    M41Von = '%s' ",
        {sqlText(row[M41Bis]), sqlText(row[M41Trm]), sqlText(row[M41Fir]), sqlText(row[M41Zpl]),
         sqlText(row[M41Wnr]), sqlText(row[M41Zzo]), sqlText(row[M41Tnr]), sqlText(row[M41Von])});
}

int32_t write41P(const RecordRow& row) {
    return writeUpdateElseInsert(row, update41P, insert41P);
}

WriteOutcome writeRecord(RecordRow& row) {
    return counted(outsideUpdateMode() ? insert41P(row) : write41P(row));
}

}  // namespace

const ImportMember Member41P = {
    Record41P, Layout, FieldCount,
    deleteAll41P, outsideUpdateMode,
    writeRecord, nullptr,
    "  Trm %s: Insert-Fehler: %d\n", "  Trm %s: Write-Fehler: %d\n", M41Trm, false, true,
    "\n%d Datensaetze in MGSST41P eingefuegt\n",
    nullptr,
};

LoopOutcome import41P(TextFile& workFile) {
    return runRecordLoop(Member41P, workFile);
}
