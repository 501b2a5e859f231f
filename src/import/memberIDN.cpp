// IDN: the identity master. Each record writes three tables: a QVS113STO row
// for its AswSto, a QVS113AWV row linking AswNum with AswSto and AswCod, and
// the identity row of QVS301ASW by update-else-insert on AswNum, AswGvo and
// AswBkl. When the settings name MySQL as the database system the three
// tables are emptied first and unusable dates are replaced before writing.
#include <cstdio>
#include <cstring>

#include "common/runstate.h"
#include "common/strutil.h"
#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field {
    AswNum, AswSto, AswGvo, AswGbi, AswPnr, AswNam, AswSpr, AswBkl, AswPin, AswCod, AswGrp, AswLiz,
    AswMnd, AswAtp, AswAan, AswMta, AswSal, AswBk2, AswSta, AswDat, AswErf, AswMap, AswKst, FieldCount
};

const FieldSpec Layout[] = {
    {0, 50, true, AswNum},    {50, 8, true, AswSto},    {58, 8, true, AswGvo},
    {66, 8, true, AswGbi},    {74, 8, true, AswPnr},    {82, 50, true, AswNam},
    {132, 5, true, AswSpr},   {137, 5, true, AswBkl},   {142, 32, true, AswPin},
    {174, 5, true, AswCod},   {179, 5, true, AswGrp},   {184, 5, true, AswLiz},
    {189, 5, true, AswMnd},   {194, 2, true, AswAtp},   {196, 50, true, AswAan},
    {246, 2, true, AswMta},   {248, 10, true, AswSal},  {258, 5, true, AswBk2},
    {263, 5, true, AswSta},   {268, 14, true, AswDat},  {282, 50, true, AswErf},
    {332, 1, true, AswMap},   {333, 30, true, AswKst},
};

constexpr const char* MySqlSystemName = "MYSQL";
constexpr const char* EmptyKeyValue = "0";
// Dates up to this text (compared byte for byte) are treated as unset.
constexpr const char* EarliestUsableDate = "19000000";

// The settings name the database system; only MySQL gets the clearing and
// the date rules. The name is compared in upper case, so only its case may
// differ from "MYSQL". It does not change during a run, so it is looked at
// once, not for every record.
bool inMySqlMode() {
    static int mySqlMode = -1;
    if (mySqlMode < 0) {
        toUpperInPlace(DbSystemName);
        mySqlMode = strcmp(DbSystemName, MySqlSystemName) == 0 ? 1 : 0;
    }
    return mySqlMode == 1;
}

// Plain text comparison: strcmp compares the bytes as unsigned values and
// sorts a prefix first, so an empty text is never later.
bool isUsableDate(const char* text) {
    return strcmp(text, EarliestUsableDate) > 0;
}

// Replaces a field of the row; the row field always has room for it.
void setField(RecordRow& row, int index, const char* value) {
    snprintf(row[index], sizeof row.field[index], "%s", value);
}

// Empties the three tables; the first two results are not looked at.
int32_t deleteAllIdentities() {
    runFixedStatement("DELETE FROM RURUVURO.QVS301ASW");
    runFixedStatement("DELETE FROM RURUVURO.QVS113AWV");
    return runFixedStatement("DELETE FROM RURUVURO.QVS113STO");
}

// Blank key parts become "0"; in MySQL mode a missing or pre-1900 validity
// start becomes the server's date, and pre-1900 end and time stamp become
// empty, which the statements send as NULL.
void applyFillRules(RecordRow& row) {
    if (row[AswSto][0] == '\0') setField(row, AswSto, EmptyKeyValue);
    if (row[AswBkl][0] == '\0') setField(row, AswBkl, EmptyKeyValue);
    if (!inMySqlMode()) return;
    if (!isUsableDate(row[AswGvo])) setField(row, AswGvo, ServerDate);
    if (!isUsableDate(row[AswGbi])) row[AswGbi][0] = '\0';
    if (!isUsableDate(row[AswDat])) row[AswDat][0] = '\0';
}

int32_t insertStorage(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.QVS113STO  (StoNum, StoSta, StoErf)  VALUES ('%s', '1', 'ZiDidaze')",
        {sqlText(row[AswSto])});
}

int32_t insertIdentityLink(const RecordRow& row) {
    return runStatement(
        "INSERT INTO RURUVURO.QVS113AWV  (AwvNum, AwvSto, AwvCod,   AwvSta, AwvDat, AwvErf)  "
        "VALUES ('%s', '%s', '%s',  '1', NOW(), 'ZiDidaze')",
        {sqlText(row[AswNum]), sqlText(row[AswSto]), sqlText(row[AswCod])});
}

// The update sets every field and finds the row by AswNum, AswGvo and AswBkl.
int32_t updateIdentity(const RecordRow& row) {
    SqlArg args[FieldCount + 3];
    rowTextArguments(row, FieldCount, args);
    args[FieldCount] = sqlText(row[AswNum]);
    args[FieldCount + 1] = sqlText(row[AswGvo]);
    args[FieldCount + 2] = sqlText(row[AswBkl]);
    return runStatement(
        " UPDATE  RURUVURO.QVS301ASW SET  AswNum = '%s', AswSto = '%s',  "
        "AswGvo = date_format(NULLIF('%s', ''), '%%Y%%m%%d'),  "
        "AswGbi = date_format(NULLIF('%s', ''), '%%Y%%m%%d'),  "
        "AswPnr = '%s', AswNam = '%s', AswSpr = '%s',  AswBkl = '%s', AswPin = '%s', AswCod = '%s',  "
        "AswGrp = '%s', AswLiz = '%s', AswMnd = '%s',  AswAtp = '%s', AswAan = '%s', AswMta = '%s',  "
        "AswSal = '%s', AswBk2 = '%s', AswSta = '%s',  "
        "AswDat = date_format(NULLIF('%s', ''), '%%Y%%m%%d%%H%%i%%s'),  "
        "AswErf = '%s',  AswMap = '%s',  AswKst = '%s'  WHERE  AswNum = '%s'  "
        "AND  AswGvo = date_format(NULLIF('%s', ''), '%%Y%%m%%d')  AND  AswBkl = '%s' ",
        args, FieldCount + 3);
}

int32_t insertIdentity(const RecordRow& row) {
    SqlArg args[FieldCount];
    rowTextArguments(row, FieldCount, args);
    return runStatement(
        " INSERT INTO RURUVURO.QVS301ASW  ( AswNum, AswSto, AswGvo, AswGbi, AswPnr, AswNam,  "
        "AswSpr, AswBkl, AswPin, AswCod, AswGrp, AswLiz,  AswMnd, AswAtp, AswAan, AswMta, AswSal, AswBk2,  "
        "AswSta, AswDat, AswErf, AswMap, AswKst )  "
        "VALUES ('%s', '%s', DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d'),  "
        "DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d'),  '%s', '%s', '%s', '%s' ,'%s', '%s',  "
        "'%s', '%s', '%s', '%s', '%s' ,'%s',  '%s', '%s', '%s',  "
        "DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d%%H%%i%%s'),  '%s', '%s', '%s' )",
        args, FieldCount);
}

// The Sto row and the link row usually exist from earlier records or runs;
// their failures neither stop nor fail the record. The identity row decides.
int32_t writeIdentity(const RecordRow& row) {
    insertStorage(row);
    insertIdentityLink(row);
    return writeUpdateElseInsert(row, updateIdentity, insertIdentity);
}

WriteOutcome writeRecord(RecordRow& row) {
    applyFillRules(row);
    return counted(writeIdentity(row));
}

}  // namespace

const ImportMember MemberIDN = {
    RecordIDN, Layout, FieldCount,
    deleteAllIdentities, inMySqlMode,
    writeRecord, nullptr,
    "  IDstamm: Insert-Fehler: %d\n", nullptr, -1, true, false,
    "\n%d Datensaetze in Qvs301ASW eingefuegt\n",
    nullptr,
};

LoopOutcome importIdentityMaster(TextFile& workFile) {
    return runRecordLoop(MemberIDN, workFile);
}
