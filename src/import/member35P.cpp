// 35P: terminal records into the interface table MGSST35P. A record whose
// M35Bkl is "*ZKO" is not a row of MGSST35P: it sets ZLSZKO of the matching
// QVS401ZLS rows instead, silently and without being counted.
#include <cstring>

#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl, M35Zko, M35Zzo, M35Bch, FieldCount };

const FieldSpec Layout[] = {
    {0, 255, true, M35Trm},
    {255, 3, true, M35Fir},
    {258, 5, true, M35Bkl},
    {263, 2, true, M35Les},
    {265, 2, true, M35Wle},
    {267, 3, true, M35Wpl},
    {270, 5, true, M35Zko},
    {275, 5, true, M35Zzo},
    {280, 1, true, M35Bch},
};

constexpr const char* ZkoMarker = "*ZKO";

int32_t deleteAll35P() {
    return runFixedStatement("DELETE FROM Ruruvuro.MGSST35P");
}

int32_t insert35P(const RecordRow& row) {
    return runStatement(
        "INSERT INTO Ruruvuro.MGSST35P  (M35Trm, M35Fir, M35Bkl,   M35Les, M35Wle, M35Wpl,   "
        "M35Zko, M35Zzo, M35Bch,   M35Dat)  VALUES ( '%s', '%s', '%s',  '%s', '%s', '%s',  "
        "'%s', '%s', '%s',  SYSDATE())",
        {sqlText(row[M35Trm]), sqlText(row[M35Fir]), sqlText(row[M35Bkl]), sqlText(row[M35Les]),
         sqlText(row[M35Wle]), sqlText(row[M35Wpl]), sqlText(row[M35Zko]), sqlText(row[M35Zzo]),
         sqlText(row[M35Bch])});
}

int32_t update35P(const RecordRow& row) {
    return runStatement(
        "UPDATE RuRuvuro.MGSST35P SET    M35Zko = '%s', M35Zzo = '%s',        M35Bch = '%s', "
        "M35Dat = SYSDATE() WHERE  M35Trm = '%s' AND    M35Fir = '%s' AND    M35Bkl = '%s' AND    "
        "M35Les = '%s' AND    M35Wle = '%s' AND    M35Wpl = '%s' ",
        {sqlText(row[M35Zko]), sqlText(row[M35Zzo]), sqlText(row[M35Bch]), sqlText(row[M35Trm]),
         sqlText(row[M35Fir]), sqlText(row[M35Bkl]), sqlText(row[M35Les]), sqlText(row[M35Wle]),
         sqlText(row[M35Wpl])});
}

int32_t write35P(const RecordRow& row) {
    return writeUpdateElseInsert(row, update35P, insert35P);
}

int32_t updateZlsZko(const RecordRow& row) {
    return runStatement(
        " UPDATE RURUVURO.QVS401ZLS  SET  ZLSZKO = '%s'  WHERE ZLSTRM = '%s'  AND ZLSLES = '%s' ",
        {sqlText(row[M35Zko]), sqlText(row[M35Trm]), sqlText(row[M35Les])});
}

WriteOutcome writeRecord(RecordRow& row) {
    if (strcmp(row[M35Bkl], ZkoMarker) == 0) return uncounted(updateZlsZko(row));
    return counted(outsideUpdateMode() ? insert35P(row) : write35P(row));
}

}  // namespace

const ImportMember Member35P = {
    Record35P, Layout, FieldCount,
    deleteAll35P, outsideUpdateMode,
    writeRecord, nullptr,
    "  Trm %s: Insert-Fehler: %d\n", "  Trm %s: Write-Fehler: %d\n", M35Trm, false, true,
    "\n%d Datensaetze in MGSST35P eingefuegt\n",
    nullptr,
};

LoopOutcome import35P(TextFile& workFile) {
    return runRecordLoop(Member35P, workFile);
}
