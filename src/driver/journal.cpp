#include "driver/journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/diag.h"
#include "db/connection.h"
#include "import/report.h"
#include "common/contract.h"
#include "import/serverfacts.h"
#include "import/statement.h"

namespace {

constexpr size_t MaxRunIdLength = 64;
constexpr size_t Sha256Length = 64;
constexpr size_t NeededTextRoom = 128;
constexpr size_t EngineRoom = 65;

// The row's columns are those of sql/journal.sql; the names are checked
// identifiers, put in as they stand, and every text goes through the
// escaping of formatStatement.
constexpr const char* InsertJournalRow =
    "INSERT INTO `%s`.`%s` (RunId, TypeCode, SourceFile, WorkFileBytes, Sha256, LineCount, WrittenCount, "
    "FailedCount, WrongLengthCount, ExitStatus, CommitUtc) "
    "VALUES ('%s', '%s', '%s', %d, '%s', %d, %d, %d, %d, %d, UTC_TIMESTAMP())";

bool Wanted = false;
JournalTable Table;
char RunId[MaxRunIdLength + 1] = "";
char Sha256[Sha256Length + 1] = "";

// The characters are told by hand: isalnum's answer depends on the locale.
bool isAsciiLetterOrDigit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A digit of the SHA-256 in either case.
bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether text is 1 to maxLength characters, each one that allowed()
// takes.
bool isMadeOf(const char* text, size_t maxLength, bool (*allowed)(char)) {
    if (text == nullptr) return false;
    const size_t length = strlen(text);
    if (length == 0 || length > maxLength) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!allowed(text[i])) return false;
    }
    return true;
}

// What a schema or table name may hold, so that it goes between backticks
// as it stands.
bool isIdentifierCharacter(char c) {
    return isAsciiLetterOrDigit(c) || c == '_' || c == '$';
}

// What a run id may hold: safe in a statement, a file name and a log line.
bool isRunIdCharacter(char c) {
    return isAsciiLetterOrDigit(c) || c == '_' || c == '-';
}

// Names a journal variable that is missing or not what it must be: needed
// says what it must be, its %zu the length given.
void reportUnusable(const char* variable, const char* text, const char* needed, size_t length) {
    char what[NeededTextRoom];
    snprintf(what, sizeof what, needed, length);
    if (text == nullptr) {
        diagnoseAt(Severity::Error, "%s needs %s, %s; it is not set", JournalVariable, variable, what);
    } else {
        diagnoseAt(Severity::Error, "%s=\"%s\" is not %s", variable, text, what);
    }
}

// The run id, 1 to 64 characters of A-Z, a-z, 0-9, "_" and "-": the
// journal's key, which a caller may also use in a file name.
bool takeRunId() {
    const char* text = getenv(RunIdVariable);
    if (!isMadeOf(text, MaxRunIdLength, isRunIdCharacter)) {
        reportUnusable(RunIdVariable, text, "1 to %zu characters of A-Z, a-z, 0-9, _ and -", MaxRunIdLength);
        return false;
    }
    snprintf(RunId, sizeof RunId, "%s", text);
    return true;
}

// The file's SHA-256 as 64 hexadecimal digits, kept in lower case as
// sha256sum prints it, so that the journal's index finds it either way.
bool takeSha256() {
    const char* text = getenv(Sha256Variable);
    if (!isMadeOf(text, Sha256Length, isHexDigit) || strlen(text) != Sha256Length) {
        reportUnusable(Sha256Variable, text, "the file's SHA-256 as %zu hexadecimal digits", Sha256Length);
        return false;
    }
    for (size_t i = 0; i < Sha256Length; ++i) {
        const char c = text[i];
        Sha256[i] = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    Sha256[Sha256Length] = '\0';
    return true;
}

// The journal row's statement into StatementBuffer; false when it does
// not fit (a source name of about a thousand characters).
bool formatJournalRow(const JournalRun& run, int exitStatus) {
    return formatStatement(InsertJournalRow,
                           {sqlRaw(Table.schema), sqlRaw(Table.table), sqlText(RunId), sqlText(run.typeCode),
                            sqlText(run.source), sqlNumber(static_cast<long>(run.workFileBytes)), sqlText(Sha256),
                            sqlNumber(Tally.lines), sqlNumber(Tally.written), sqlNumber(Tally.failed),
                            sqlNumber(Tally.wrongLength), sqlNumber(exitStatus)});
}

}  // namespace

bool parseJournalTable(const char* text, JournalTable& table) {
    if (text == nullptr) return false;
    const char* dot = strchr(text, '.');
    if (dot == nullptr) return false;
    const size_t schemaLength = static_cast<size_t>(dot - text);
    if (schemaLength == 0 || schemaLength > MaxIdentifierLength) return false;
    char schema[MaxIdentifierLength + 1];
    memcpy(schema, text, schemaLength);
    schema[schemaLength] = '\0';
    if (!isMadeOf(schema, MaxIdentifierLength, isIdentifierCharacter)) return false;
    if (!isMadeOf(dot + 1, MaxIdentifierLength, isIdentifierCharacter)) return false;
    memcpy(table.schema, schema, schemaLength + 1);
    snprintf(table.table, sizeof table.table, "%s", dot + 1);
    return true;
}

// Every fault is named, not only the first, so that one attempt shows
// what to mend.
bool takeJournalSettings() {
    const char* name = getenv(JournalVariable);
    if (name == nullptr) return true;
    bool usable = parseJournalTable(name, Table);
    if (!usable) {
        reportUnusable(JournalVariable, name,
                       "SCHEMA.TABLE: two names of 1 to %zu characters of A-Z, a-z, 0-9, _ and $, joined by one dot",
                       MaxIdentifierLength);
    }
    usable = takeRunId() && usable;
    usable = takeSha256() && usable;
    if (!usable)
        diagnoseAt(Severity::Error, "the journal settings are not usable: the run does not start, nothing is touched");
    Wanted = usable;
    return usable;
}

bool journalTableKeepsTransactions() {
    if (!Wanted) return true;
    const TableFacts facts = queryTableFactsIn(Table.schema, Table.table);
    if (!facts.known || !facts.exists || facts.transactional) return true;
    char engine[EngineRoom] = "";
    if (queryTableEngineIn(Table.schema, Table.table, engine, sizeof engine) != 0) {
        snprintf(engine, sizeof engine, "unknown");
    }
    diagnoseAt(Severity::Error,
               "the journal table %s.%s has no transactions (engine %s): its row would outlive a run that is rolled "
               "back or killed, and the file would pass for imported; the run does not start, nothing is moved or "
               "sent (ALTER TABLE %s.%s ENGINE=InnoDB makes it usable)",
               Table.schema, Table.table, engine, Table.schema, Table.table);
    return false;
}

int32_t writeJournalRow(const JournalRun& run, int exitStatus) {
    if (!Wanted) return 0;
    if (!formatJournalRow(run, exitStatus)) {
        diagnoseAt(Severity::Error,
                   "the journal statement for %s.%s does not fit its %d-byte buffer (the source name is too long); "
                   "nothing of the run is kept",
                   Table.schema, Table.table, StatementBufferSize);
        return StatementTooLongResult;
    }
    const int32_t code = runStatement(StatementBuffer).code;
    if (code != 0) {
        diagnoseAt(Severity::Error, "the journal statement \"%s\" failed with error %d: %s; nothing of the run is kept",
                   StatementBuffer, code, lastStatementErrorText());
    }
    return code;
}
