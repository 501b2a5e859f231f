// 20P: terminal assignments into the interface table MGSST20P. ReplaceMode
// empties the table and inserts every record; UpdateMode keeps the table and
// writes each record by update-else-insert on its key.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb, FieldCount };

// M20Zz2, M20Ofv and M20Ofb are stored exactly as they stand, blanks included.
const FieldSpec Layout[] = {
    {0, 255, true, M20Trm},
    {255, 2, true, M20Sch},
    {257, 1, true, M20Tg1},
    {258, 5, false, M20Zz2},
    {263, 4, false, M20Ofv},
    {267, 4, false, M20Ofb},
};

int32_t deleteAll20P() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSST20P");
}

int32_t insert20P(const RecordRow& row) {
    return runStatement(
        "INSERT INTO Ruruvuro.MGSST20P  (M20Trm, M20Sch, M20Tg1,   M20Zz2, M20Ofv, M20Ofb,   M20Dat)  "
        "VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  SYSDATE())",
        {sqlText(row[M20Trm]), sqlText(row[M20Sch]), sqlText(row[M20Tg1]), sqlText(row[M20Zz2]),
         sqlText(row[M20Ofv]), sqlText(row[M20Ofb])});
}

int32_t update20P(const RecordRow& row) {
    return runStatement(
        "UPDATE RuRuvuro.MGSST20P SET    M20Ofb = '%s', M20Dat = SYSDATE() WHERE  M20Trm = '%s' AND    "
        "M20Sch = '%s' AND    M20Tg1 = '%s' AND    M20Zz2 = '%s' AND    M20Ofv = '%s' ",
        {sqlText(row[M20Ofb]), sqlText(row[M20Trm]), sqlText(row[M20Sch]), sqlText(row[M20Tg1]),
         sqlText(row[M20Zz2]), sqlText(row[M20Ofv])});
}

int32_t write20P(const RecordRow& row) {
    return writeUpdateElseInsert(row, update20P, insert20P);
}

WriteOutcome writeRecord(RecordRow& row) {
    return counted(outsideUpdateMode() ? insert20P(row) : write20P(row));
}

}  // namespace

const ImportMember Member20P = {
    Record20P, Layout, FieldCount,
    deleteAll20P, outsideUpdateMode,
    writeRecord, nullptr,
    "  Trm %s: Insert-Fehler: %d\n", "  Trm %s: Write-Fehler: %d\n", M20Trm, false, true,
    "\n%d Datensaetze in MGSST20P eingefuegt\n",
    nullptr,
};

LoopOutcome import20P(TextFile& workFile) {
    return runRecordLoop(Member20P, workFile);
}
