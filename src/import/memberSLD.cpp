// SLD: balance values into O2002TSW, replaced whole. A file comes in one of
// two record forms, chosen by the length of its first line: the long form
// (432) ends with TswAmp, the short form (427) lacks it. Long-form records
// are written with TswAmp until the server reports that the table has no
// such column; from then on the run writes without it.
#include "db/connection.h"
#include "import/members.h"
#include "import/recordloop.h"
#include "common/textfile.h"

namespace {

enum Field {
    TswIdn, TswSto, Tswliz, TswMnd,
    TswW01, TswW02, TswW03, TswW04, TswW05, TswW06, TswW07, TswW08,
    TswW09, TswW10, TswW11, TswW12, TswW13, TswW14, TswW15, TswW16,
    TswF01, TswF02, TswF03, TswF04, TswF05, TswF06, TswF07, TswF08, TswF09, TswF10,
    TswAmp, FieldCount
};

// The short statement takes every field up to TswF10.
constexpr int FieldsWithoutAmp = TswAmp;

// TswW01 is two characters narrower than the other W values. TswAmp lies
// beyond the line end of the short form, where the loop leaves it empty.
constexpr FieldSpec Layout[] = {
    {0, 50, true, TswIdn, "TswIdn"},
    {50, 8, true, TswSto, "TswSto"},
    {58, 5, true, Tswliz, "Tswliz"},
    {63, 5, true, TswMnd, "TswMnd"},
    {68, 8, true, TswW01, "TswW01"},
    {76, 10, true, TswW02, "TswW02"},
    {86, 10, true, TswW03, "TswW03"},
    {96, 10, true, TswW04, "TswW04"},
    {106, 10, true, TswW05, "TswW05"},
    {116, 10, true, TswW06, "TswW06"},
    {126, 10, true, TswW07, "TswW07"},
    {136, 10, true, TswW08, "TswW08"},
    {146, 10, true, TswW09, "TswW09"},
    {156, 10, true, TswW10, "TswW10"},
    {166, 10, true, TswW11, "TswW11"},
    {176, 10, true, TswW12, "TswW12"},
    {186, 10, true, TswW13, "TswW13"},
    {196, 10, true, TswW14, "TswW14"},
    {206, 10, true, TswW15, "TswW15"},
    {216, 10, true, TswW16, "TswW16"},
    {226, 20, true, TswF01, "TswF01"},
    {246, 20, true, TswF02, "TswF02"},
    {266, 20, true, TswF03, "TswF03"},
    {286, 20, true, TswF04, "TswF04"},
    {306, 20, true, TswF05, "TswF05"},
    {326, 20, true, TswF06, "TswF06"},
    {346, 20, true, TswF07, "TswF07"},
    {366, 20, true, TswF08, "TswF08"},
    {386, 20, true, TswF09, "TswF09"},
    {406, 20, true, TswF10, "TswF10"},
    {426, 5, true, TswAmp, "TswAmp (long form only)"},
};

// 1 while records are written with TswAmp: set when the file has the long
// form, cleared for good by the first "unknown column" answer.
int useTswAmp = 0;

constexpr const char* deleteAllBalances[] = {"DELETE FROM RURUVURO.O2002TSW "};

// The first line decides the form for the whole file (balanceFormOf); the
// file is then read again from its start, so the first line is a record too.
RecordKind chooseBalanceForm(TextFile& workFile) {
    RecordKind kind = balanceFormOf(workFile, RecordBuffer);
    useTswAmp = kind == RecordSLDLong ? 1 : 0;
    return kind;
}

bool insertBalanceWithoutAmp(const RecordRow& row) {
    SqlArg args[FieldsWithoutAmp];
    rowTextArguments(row, FieldsWithoutAmp, args);
    return formatStatement(
        " INSERT INTO RURUVURO.O2002TSW  (TswIdn, TswSto, Tswliz, TswMnd,   "
        "TswW01, TswW02, TswW03, TswW04,   TswW05, TswW06, TswW07, TswW08,   "
        "TswW09, TswW10, TswW11, TswW12,   TswW13, TswW14, TswW15, TswW16,   "
        "TswF01, TswF02, TswF03, TswF04,   TswF05, TswF06, TswF07, TswF08,   "
        "TswF09, TswF10 )  VALUES ('%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  "
        "'%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  "
        "'%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  '%s', '%s' ) ",
        args, FieldsWithoutAmp);
}

bool insertBalanceWithAmp(const RecordRow& row) {
    SqlArg args[FieldCount];
    rowTextArguments(row, FieldCount, args);
    return formatStatement(
        " INSERT INTO RURUVURO.O2002TSW  (TswIdn, TswSto, Tswliz, TswMnd,   "
        "TswW01, TswW02, TswW03, TswW04,   TswW05, TswW06, TswW07, TswW08,   "
        "TswW09, TswW10, TswW11, TswW12,   TswW13, TswW14, TswW15, TswW16,   "
        "TswF01, TswF02, TswF03, TswF04,   TswF05, TswF06, TswF07, TswF08,   "
        "TswF09, TswF10, TswAmp )  VALUES ('%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  "
        "'%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  "
        "'%s', '%s', '%s', '%s',  '%s', '%s', '%s', '%s',  '%s', '%s', '%s' ) ",
        args, FieldCount);
}

// insertBalance: with TswAmp while the table has the column, else without.
void insertBalance(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, useTswAmp == 1 ? insertBalanceWithAmp : insertBalanceWithoutAmp);
}

// A target table without TswAmp is an older layout, not a fault: the record
// is written again without it, and every later one too, and nothing is
// reported.
bool switchOnUnknownColumn(int32_t code) {
    if (useTswAmp != 1 || code != ErrorUnknownColumn) return false;
    useTswAmp = 0;
    return true;
}

}  // namespace

constexpr ImportMember MemberSLD = [] {
    ImportMember m;
    m.typeCode = "SLD";
    m.recordKind = m.longestKind = RecordSLDLong;
    m.chooseRecordKind = chooseBalanceForm;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllBalances;
    m.openingCount = 1;
    m.planRecord = insertBalance;
    m.replanAfter = switchOnUnknownColumn;
    m.table = "O2002TSW";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of O2002TSW is deleted, then each record is inserted. The first line "
                "chooses the form of the whole file: 432 characters with TswAmp, else the short form of "
                "427 without it; TswAmp is left out from the first record on that the table refuses for "
                "want of the column";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  Saldowerte: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in O2002TSW eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberSLD));
