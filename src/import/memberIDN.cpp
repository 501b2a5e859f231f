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

namespace {

enum Field {
    AswNum, AswSto, AswGvo, AswGbi, AswPnr, AswNam, AswSpr, AswBkl, AswPin, AswCod, AswGrp, AswLiz,
    AswMnd, AswAtp, AswAan, AswMta, AswSal, AswBk2, AswSta, AswDat, AswErf, AswMap, AswKst, FieldCount
};

constexpr FieldSpec Layout[] = {
    {0, 50, true, AswNum, "AswNum, AwvNum"},
    {50, 8, true, AswSto, "AswSto, StoNum, AwvSto (blank: 0)"},
    {58, 8, true, AswGvo, "AswGvo (YYYYMMDD)"},
    {66, 8, true, AswGbi, "AswGbi (YYYYMMDD)"},
    {74, 8, true, AswPnr, "AswPnr"},
    {82, 50, true, AswNam, "AswNam"},
    {132, 5, true, AswSpr, "AswSpr"},
    {137, 5, true, AswBkl, "AswBkl (blank: 0)"},
    {142, 32, true, AswPin, "AswPin"},
    {174, 5, true, AswCod, "AswCod, AwvCod"},
    {179, 5, true, AswGrp, "AswGrp"},
    {184, 5, true, AswLiz, "AswLiz"},
    {189, 5, true, AswMnd, "AswMnd"},
    {194, 2, true, AswAtp, "AswAtp"},
    {196, 50, true, AswAan, "AswAan"},
    {246, 2, true, AswMta, "AswMta"},
    {248, 10, true, AswSal, "AswSal"},
    {258, 5, true, AswBk2, "AswBk2"},
    {263, 5, true, AswSta, "AswSta"},
    {268, 14, true, AswDat, "AswDat (YYYYMMDDHHMMSS)"},
    {282, 50, true, AswErf, "AswErf"},
    {332, 1, true, AswMap, "AswMap"},
    {333, 30, true, AswKst, "AswKst"},
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

// Empties the three tables; only the last result is kept.
constexpr const char* deleteAllIdentities[] = {
    "DELETE FROM RURUVURO.QVS301ASW",
    "DELETE FROM RURUVURO.QVS113AWV",
    "DELETE FROM RURUVURO.QVS113STO",
};

// Records of one window must differ in AswNum: a stricter test than the
// update's whole key (AswNum, AswGvo as a date, AswBkl), which is safe.
constexpr KeyField Key[] = {{AswNum, "AswNum"}};

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

bool insertStorage(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.QVS113STO  (StoNum, StoSta, StoErf)  VALUES ('%s', '1', 'ZiDidaze')",
        {sqlText(row[AswSto])});
}

bool insertIdentityLink(const RecordRow& row) {
    return formatStatement(
        "INSERT INTO RURUVURO.QVS113AWV  (AwvNum, AwvSto, AwvCod,   AwvSta, AwvDat, AwvErf)  "
        "VALUES ('%s', '%s', '%s',  '1', NOW(), 'ZiDidaze')",
        {sqlText(row[AswNum]), sqlText(row[AswSto]), sqlText(row[AswCod])});
}

// The update sets every field and finds the row by AswNum, AswGvo and AswBkl.
bool updateIdentity(const RecordRow& row) {
    SqlArg args[FieldCount + 3];
    rowTextArguments(row, FieldCount, args);
    args[FieldCount] = sqlText(row[AswNum]);
    args[FieldCount + 1] = sqlText(row[AswGvo]);
    args[FieldCount + 2] = sqlText(row[AswBkl]);
    return formatStatement(
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

bool insertIdentity(const RecordRow& row) {
    SqlArg args[FieldCount];
    rowTextArguments(row, FieldCount, args);
    return formatStatement(
        " INSERT INTO RURUVURO.QVS301ASW  ( AswNum, AswSto, AswGvo, AswGbi, AswPnr, AswNam,  "
        "AswSpr, AswBkl, AswPin, AswCod, AswGrp, AswLiz,  AswMnd, AswAtp, AswAan, AswMta, AswSal, AswBk2,  "
        "AswSta, AswDat, AswErf, AswMap, AswKst )  "
        "VALUES ('%s', '%s', DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d'),  "
        "DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d'),  '%s', '%s', '%s', '%s' ,'%s', '%s',  "
        "'%s', '%s', '%s', '%s', '%s' ,'%s',  '%s', '%s', '%s',  "
        "DATE_FORMAT(NULLIF('%s', ''), '%%Y%%m%%d%%H%%i%%s'),  '%s', '%s', '%s' )",
        args, FieldCount);
}

// writeIdentity: the Sto row and the link row usually exist from earlier
// records or runs; their failures neither stop nor fail the record. The
// identity row decides: update, else insert.
void writeIdentity(RecordRow& row, RecordPlan& plan) {
    applyFillRules(row);
    addStep(plan, StepRole::Ignored, insertStorage);
    addStep(plan, StepRole::Ignored, insertIdentityLink);
    addStep(plan, StepRole::Update, updateIdentity, insertIdentity);
}

// The set path: a window's identity rows as one multi-row insert that, for a
// key already there, sets what the update sets (every column), each from its
// own row's values. The update finds its row by AswNum, AswGvo and AswBkl.
constexpr const char* UpsertIdentities =
    " ON DUPLICATE KEY UPDATE AswNum = VALUES(AswNum), AswSto = VALUES(AswSto), "
    "AswGvo = VALUES(AswGvo), AswGbi = VALUES(AswGbi), AswPnr = VALUES(AswPnr), "
    "AswNam = VALUES(AswNam), AswSpr = VALUES(AswSpr), AswBkl = VALUES(AswBkl), "
    "AswPin = VALUES(AswPin), AswCod = VALUES(AswCod), AswGrp = VALUES(AswGrp), "
    "AswLiz = VALUES(AswLiz), AswMnd = VALUES(AswMnd), AswAtp = VALUES(AswAtp), "
    "AswAan = VALUES(AswAan), AswMta = VALUES(AswMta), AswSal = VALUES(AswSal), "
    "AswBk2 = VALUES(AswBk2), AswSta = VALUES(AswSta), AswDat = VALUES(AswDat), "
    "AswErf = VALUES(AswErf), AswMap = VALUES(AswMap), AswKst = VALUES(AswKst)";
constexpr KeyField UpdateKey[] = {{AswNum, "AswNum"}, {AswGvo, "AswGvo"}, {AswBkl, "AswBkl"}};

constexpr const char* OtherTables[] = {"QVS113STO", "QVS113AWV"};
constexpr unsigned OtherTableWrites[] = {DeletesAll | Inserts, DeletesAll | Inserts};

}  // namespace

constexpr ImportMember MemberIDN = [] {
    ImportMember m;
    m.typeCode = "IDN";
    m.recordKind = m.longestKind = RecordIDN;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllIdentities;
    m.openingCount = 3;
    m.openingApplies = inMySqlMode;
    m.openingGuardsWrites = false;
    m.planRecord = writeIdentity;
    m.table = "QVS301ASW";
    m.otherTables = OtherTables;
    m.otherTableCount = 2;
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = UpsertIdentities;
    m.updateKey = UpdateKey;
    m.updateKeyCount = sizeof UpdateKey / sizeof UpdateKey[0];
    m.tableWrites = DeletesAll | Inserts | UpdatesByKey;
    m.otherTableWrites = OtherTableWrites;
    m.writing = "update-else-insert: each record inserts its QVS113STO row and its QVS113AWV row (their "
                "failures are ignored), then updates the QVS301ASW row with its AswNum, AswGvo and "
                "AswBkl, or inserts it. When DB_SYSTEM is MYSQL the three tables are emptied first, a "
                "start date (AswGvo) up to 19000000 becomes the server's date, and an end date or time "
                "stamp up to 19000000 becomes NULL";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  IDstamm: Insert-Fehler: %d\n";
    m.failureOnlyInDebug = true;
    m.countMessage = "\n%d Datensaetze in Qvs301ASW eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberIDN));
