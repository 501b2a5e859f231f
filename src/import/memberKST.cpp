// KST: cost centres into the master table QVS120KID, kept in line with the
// file by mark and sweep. Every row is first marked with status 4, each
// record updates its row (or inserts it) with status 1, and the rows still
// marked at the end are deleted. UpdateMode changes nothing here.
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { KidKst, KidMnd, KidLiz, KidNum, KidSys, KidTxt, KidErf, FieldCount };

const FieldSpec Layout[] = {
    {0, 30, true, KidKst},
    {30, 5, true, KidMnd},
    {35, 5, true, KidLiz},
    {40, 7, true, KidNum},
    {47, 7, true, KidSys},
    {54, 30, true, KidTxt},
    {84, 50, true, KidErf},
};

// Status of a row written from the file; rows still at MarkedStatus after
// the run were not in the file.
constexpr short WrittenStatus = 1;

// Marks every row as not yet seen in the file. The number of marked rows is
// not needed: the step succeeds whenever the statement does.
int32_t markCostCentres() {
    return runFixedStatement("UPDATE RURUVURO.QVS120KID SET  KidSta = 4 ");
}

// Deletes the rows that no record of the file touched.
int32_t sweepCostCentres() {
    return runFixedStatement("DELETE FROM RURUVURO.QVS120KID WHERE KidSta = 4 ");
}

// KidNum goes in as NULL when the field is blank, else as a quoted literal.
int32_t updateCostCentre(const RecordRow& row) {
    return runStatement(
        " UPDATE  RURUVURO.QVS120KID SET  KidNum = %s,  KidSys = '%s',  KidTxt = '%s',  KidSta = %d,  "
        "KidErf = '%s'  WHERE  KidKst = '%s'  AND  KidMnd = '%s'  AND  KidLiz = '%s'",
        {sqlOptionalText(row[KidNum]), sqlText(row[KidSys]), sqlText(row[KidTxt]), sqlNumber(WrittenStatus),
         sqlText(row[KidErf]), sqlText(row[KidKst]), sqlText(row[KidMnd]), sqlText(row[KidLiz])});
}

int32_t insertCostCentre(const RecordRow& row) {
    return runStatement(
        " INSERT INTO RURUVURO.QVS120KID  ( KidKst, KidMnd, KidLiz, KidNum,  KidSys, KidTxt, KidSta, "
        "KidErf )  VALUES ('%s', '%s', '%s', %s, '%s', '%s', %hd, '%s' )",
        {sqlText(row[KidKst]), sqlText(row[KidMnd]), sqlText(row[KidLiz]), sqlOptionalText(row[KidNum]),
         sqlText(row[KidSys]), sqlText(row[KidTxt]), sqlNumber(WrittenStatus), sqlText(row[KidErf])});
}

// One record: its row is updated, or inserted when the update changed none.
WriteOutcome writeCostCentre(RecordRow& row) {
    return counted(writeUpdateElseInsert(row, updateCostCentre, insertCostCentre));
}

}  // namespace

const ImportMember MemberKST = {
    RecordKST, Layout, FieldCount,
    markCostCentres, nullptr,
    writeCostCentre, sweepCostCentres,
    "  Kostenstellen: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in Qvs120KID eingefuegt\n",
    nullptr,
};

LoopOutcome importCostCentres(TextFile& workFile) {
    return runRecordLoop(MemberKST, workFile);
}
