// BKL: authorization classes into the master table QVS301AWB. ReplaceMode
// keeps the table in line with the file by mark and sweep; UpdateMode leaves
// the marking out, so the file is merged into the table and the sweep only
// removes rows that carried status 4 already.
#include <cctype>
#include <cstring>

#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 50, true, AwbAws, "AwbAws"},
    {50, 5, true, AwbBkl, "AwbBkl"},
    {55, 5, true, AwbLiz, "AwbLiz"},
    {60, 5, true, AwbMnd, "AwbMnd (a whole number)"},
    {65, 1, true, AwbZuv, "AwbZuv (a digit; else 0)"},
};

// Status of a row written from the file; rows still at status 4 after the
// run are deleted.
constexpr int WrittenStatus = 1;

// What a record whose AwbMnd would not be a number in the insert fails with.
constexpr int32_t MalformedNumberResult = -1;

constexpr KeyField Key[] = {{AwbAws, "AwbAws"}, {AwbBkl, "AwbBkl"}, {AwbLiz, "AwbLiz"}, {AwbMnd, "AwbMnd"}};

// Marks every row as not yet seen in the file (ReplaceMode only).
constexpr const char* markAuthClasses[] = {"UPDATE RURUVURO.QVS301AWB SET  AwbSta = 4 "};

// Deletes the rows still marked: in ReplaceMode those the file did not name.
constexpr const char* sweepAuthClasses = "DELETE FROM RURUVURO.QVS301AWB WHERE AwbSta = 4 ";

// The AwbZuv field is one character: a digit stands for its value, anything
// else (a blank field included) for 0.
int authZuvNumber(const RecordRow& row) {
    const unsigned char first = static_cast<unsigned char>(row[AwbZuv][0]);
    return isdigit(first) ? first - '0' : 0;
}

// The insert writes AwbMnd without apostrophes, so only a whole number may
// stand there: leading blanks, an optional sign, then digits and nothing
// else. The number is rewritten in place as the server prints it ("007"
// becomes "7", "-0007" "-7", "00000" "0"), so that the update's quoted
// comparison and the insert name the same value on a text column too;
// otherwise a row written as 7 would never be found again as '007', and the
// sweep would delete it. False when the text is no whole number.
bool normaliseWholeNumber(char* text) {
    const char* p = text;
    while (*p == ' ') ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    while (*p == '0' && isdigit(static_cast<unsigned char>(p[1]))) ++p;
    const char* digits = p;
    while (isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0') return false;
    bool zero = digits[0] == '0';
    char* out = text;
    if (negative && !zero) *out++ = '-';
    memmove(out, digits, static_cast<size_t>(p - digits) + 1);
    return true;
}

bool updateAuthClass(const RecordRow& row) {
    return formatStatement(
        " UPDATE  RURUVURO.QVS301AWB SET  AwbZuv = %d,  AwbSta = %d,  AwbDat = CURRENT_TIMESTAMP  "
        "WHERE  AwbAws = '%s'  AND  AwbBkl = '%s'  AND  AwbLiz = '%s' "
        " AND  AwbMnd = '%s' ",
        {sqlNumber(authZuvNumber(row)), sqlNumber(WrittenStatus), sqlText(row[AwbAws]),
         sqlText(row[AwbBkl]), sqlText(row[AwbLiz]), sqlText(row[AwbMnd])});
}

// AwbMnd goes in raw: writeAuthClass lets only a whole number or a blank
// field get this far, and a blank one leaves a gap the server refuses.
bool insertAuthClass(const RecordRow& row) {
    return formatStatement(
        " INSERT INTO RURUVURO.QVS301AWB  ( AwbAws, AwbBkl, AwbLiz, AwbMnd,    AwbZuv, AwbSta, AwbDat )  "
        "VALUES ('%s', '%s', '%s', %s, %d, %d, CURRENT_TIMESTAMP)",
        {sqlText(row[AwbAws]), sqlText(row[AwbBkl]), sqlText(row[AwbLiz]), sqlRaw(row[AwbMnd]),
         sqlNumber(authZuvNumber(row)), sqlNumber(WrittenStatus)});
}

// writeAuthClass: the record's row is updated, or inserted when the update
// changed none. A non-blank AwbMnd that is not a whole number reaches no
// statement.
void writeAuthClass(RecordRow& row, RecordPlan& plan) {
    if (row[AwbMnd][0] != '\0' && !normaliseWholeNumber(row[AwbMnd])) {
        plan.resultWithoutStatement = MalformedNumberResult;
        return;
    }
    addStep(plan, StepRole::Update, updateAuthClass, insertAuthClass);
}

// The set path: a window's records as one multi-row insert that, for a key
// already there, sets what the update sets (the update sets AwbZuv, AwbSta and AwbDat),
// each from its own row's values.
constexpr const char* UpsertAuthClasses =
    " ON DUPLICATE KEY UPDATE AwbZuv = VALUES(AwbZuv), AwbSta = VALUES(AwbSta), "
    "AwbDat = VALUES(AwbDat)";

}  // namespace

constexpr ImportMember MemberBKL = [] {
    ImportMember m;
    m.typeCode = "BKL";
    m.recordKind = m.longestKind = RecordBKL;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = markAuthClasses;
    m.openingCount = 1;
    m.openingApplies = outsideUpdateMode;
    m.closing = sweepAuthClasses;
    m.closingRole = "delete the rows still marked";
    m.closingFailureLeaves = "the marked rows stay and are committed with status 4";
    m.planRecord = writeAuthClass;
    m.table = "QVS301AWB";
    m.key = Key;
    m.keyCount = sizeof Key / sizeof Key[0];
    m.upsertClause = UpsertAuthClasses;
    m.tableWrites = MarksAll | Inserts | UpdatesByKey | SweepsMarked;
    m.updateTableWrites = Inserts | UpdatesByKey | SweepsMarked;
    m.writing = "sync: every row of QVS301AWB is marked (AwbSta = 4), each record updates the row with "
                "its AwbAws, AwbBkl, AwbLiz and AwbMnd (AwbSta = 1) or is inserted, then the rows still "
                "marked are deleted";
    m.withUpdate = "merge: no row is marked, so the closing delete removes only rows that had AwbSta = 4 "
                   "before the run";
    m.failureMessage = "  Berechtigungsklassen: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in Qvs301Awb eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberBKL));
