// BKL: authorization classes into the master table QVS301AWB. ReplaceMode
// keeps the table in line with the file by mark and sweep; UpdateMode leaves
// the marking out, so the file is merged into the table and the sweep only
// removes rows that carried status 4 already.
#include <cctype>
#include <cstring>

#include "import/members.h"
#include "import/recordloop.h"
#include "import/statement.h"

namespace {

enum Field { AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, FieldCount };

const FieldSpec Layout[] = {
    {0, 50, true, AwbAws},
    {50, 5, true, AwbBkl},
    {55, 5, true, AwbLiz},
    {60, 5, true, AwbMnd},
    {65, 1, true, AwbZuv},
};

// Status of a row written from the file; rows still at status 4 after the
// run are deleted.
constexpr int WrittenStatus = 1;

// What a record whose AwbMnd would not be a number in the insert fails with.
constexpr int32_t MalformedNumberResult = -1;

// Marks every row as not yet seen in the file. The number of marked rows is
// not needed: the step succeeds whenever the statement does.
int32_t markAuthClasses() {
    return runFixedStatement("UPDATE RURUVURO.QVS301AWB SET  AwbSta = 4 ");
}

// Deletes the rows still marked: in ReplaceMode those the file did not name.
int32_t sweepAuthClasses() {
    return runFixedStatement("DELETE FROM RURUVURO.QVS301AWB WHERE AwbSta = 4 ");
}

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

int32_t updateAuthClass(const RecordRow& row) {
    return runStatement(
        " UPDATE  RURUVURO.QVS301AWB SET  AwbZuv = %d,  AwbSta = %d,  AwbDat = CURRENT_TIMESTAMP  "
        "WHERE  AwbAws = '%s'  AND  AwbBkl = '%s'  AND  AwbLiz = '%s' "
        " AND  AwbMnd = '%s' ",
        {sqlNumber(authZuvNumber(row)), sqlNumber(WrittenStatus), sqlText(row[AwbAws]),
         sqlText(row[AwbBkl]), sqlText(row[AwbLiz]), sqlText(row[AwbMnd])});
}

// AwbMnd goes in raw: writeAuthClass lets only a whole number or a blank
// field get this far, and a blank one leaves a gap the server refuses.
int32_t insertAuthClass(const RecordRow& row) {
    return runStatement(
        " INSERT INTO RURUVURO.QVS301AWB  ( AwbAws, AwbBkl, AwbLiz, AwbMnd,    AwbZuv, AwbSta, AwbDat )  "
        "VALUES ('%s', '%s', '%s', %s, %d, %d, CURRENT_TIMESTAMP)",
        {sqlText(row[AwbAws]), sqlText(row[AwbBkl]), sqlText(row[AwbLiz]), sqlRaw(row[AwbMnd]),
         sqlNumber(authZuvNumber(row)), sqlNumber(WrittenStatus)});
}

// One record: its row is updated, or inserted when the update changed none.
// A non-blank AwbMnd that is not a whole number reaches no statement.
WriteOutcome writeAuthClass(RecordRow& row) {
    if (row[AwbMnd][0] != '\0' && !normaliseWholeNumber(row[AwbMnd])) return counted(MalformedNumberResult);
    return counted(writeUpdateElseInsert(row, updateAuthClass, insertAuthClass));
}

}  // namespace

const ImportMember MemberBKL = {
    RecordBKL, Layout, FieldCount,
    markAuthClasses, outsideUpdateMode,
    writeAuthClass, sweepAuthClasses,
    "  Berechtigungsklassen: Insert-Fehler: %d\n", nullptr, -1, false, true,
    "\n%d Datensaetze in Qvs301Awb eingefuegt\n",
    nullptr,
};

LoopOutcome importAuthClasses(TextFile& workFile) {
    return runRecordLoop(MemberBKL, workFile);
}
