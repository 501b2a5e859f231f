// MND: the client master QVS112QVD. Every run, with or without UPD, empties
// the table and inserts one row per record. A blank status or time stamp is
// stored as NULL; the time stamp YYYYMMDDHHMMSS is parsed by the server.
#include "import/members.h"
#include "import/recordloop.h"

namespace {

enum Field { QVDLIZ, QVDNUM, QVDNAM, QVDSTA, QVDDAT, QVDERF, FieldCount };

constexpr FieldSpec Layout[] = {
    {0, 5, true, QVDLIZ, "QVDLIZ"},
    {5, 5, true, QVDNUM, "QVDNUM"},
    {10, 50, true, QVDNAM, "QVDNAM"},
    {60, 5, true, QVDSTA, "QVDSTA (blank: NULL)"},
    {65, 14, true, QVDDAT, "QVDDAT (YYYYMMDDHHMMSS; blank: NULL)"},
    {79, 50, true, QVDERF, "QVDERF"},
};

// Opening of every run: the file replaces the table's whole contents.
constexpr const char* deleteAllClients[] = {"DELETE FROM RURUVURO.QVS112QVD "};

// One client row. NULLIF turns an empty status or time stamp into NULL on
// the server, so the values themselves stay ordinary quoted texts.
bool insertClient(const RecordRow& row) {
    return formatStatement(
        " INSERT INTO RURUVURO.QVS112QVD  ( QVDLIZ, QVDNUM, QVDNAM, QVDSTA, QVDDAT, QVDERF )  "
        "VALUES (  '%s', '%s', '%s', NULLIF('%s',''), "
        "date_format(NULLIF('%s',''), '%%Y%%m%%d%%H%%i%%s'), '%s' )",
        {sqlText(row[QVDLIZ]), sqlText(row[QVDNUM]), sqlText(row[QVDNAM]), sqlText(row[QVDSTA]),
         sqlText(row[QVDDAT]), sqlText(row[QVDERF])});
}

// Every record is inserted and counted, in both modes.
void planRecord(RecordRow&, RecordPlan& plan) {
    addStep(plan, StepRole::Insert, insertClient);
}

}  // namespace

constexpr ImportMember MemberMND = [] {
    ImportMember m;
    m.typeCode = "MND";
    m.recordKind = m.longestKind = RecordMND;
    m.layout = Layout;
    m.fieldCount = FieldCount;
    m.opening = deleteAllClients;
    m.openingCount = 1;
    m.planRecord = planRecord;
    m.table = "QVS112QVD";
    m.tableWrites = DeletesAll | Inserts;
    m.writing = "replace: every row of QVS112QVD is deleted, then each record is inserted";
    m.withUpdate = "nothing: UPD is ignored";
    m.failureMessage = "  Mandantenstamm: Insert-Fehler: %d\n";
    m.countMessage = "\n%d Datensaetze in Qvs112Mnd eingefuegt\n";
    return m;
}();
static_assert(memberchecks::isSound(MemberMND));

// Handler of type code MND.
