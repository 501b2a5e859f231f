// kelvora-journal: answers kelvora-watch's two questions to the run journal
// (the table in which each committed run of the importer left a row, in its
// own transaction), with the importer's login from its settings file:
//   kelvora-journal run SCHEMA.TABLE RUNID
//       "committed DATE TIME FAILED WRONG-LENGTH EXIT LINES WRITTEN" (exit 0) when the
//       run's row is there, "absent" (exit 1) when it is not: the run
//       committed nothing;
//   kelvora-journal file SCHEMA.TABLE SHA256 TYPE
//       "RUNID TIME" (exit 0) of the first committed run of that file and
//       type code, nothing (exit 1) when there is none.
// Exit 2 when the question cannot be asked (no connection, no table), 3 for
// a usage fault. Run in the importer's working directory.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/diag.h"
#include "db/connection.h"
#include "settings/settings.h"

namespace {

constexpr int Found = 0;
constexpr int Absent = 1;
constexpr int CannotAsk = 2;
constexpr int UsageFault = 3;
constexpr size_t MaxRunId = 64;
constexpr size_t Sha256Digits = 64;
constexpr size_t QueryRoom = 1024;
constexpr size_t ValueRoom = 2 * 128 + 1;

struct Answer {
    std::string columns;   // the row's columns, joined by blanks
    bool found = false;
};

// The row's columns, one after the other.
void takeColumns(int column, const char* bytes, size_t length, void* context) {
    Answer& answer = *static_cast<Answer*>(context);
    answer.found = true;
    if (column > 0) answer.columns += ' ';
    if (bytes != nullptr) answer.columns.append(bytes, length);
}

bool allOf(const char* text, size_t most, int (*fits)(int), const char* extra) {
    const size_t length = strlen(text);
    if (length == 0 || length > most) return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (!fits(static_cast<unsigned char>(*c)) && strchr(extra, *c) == nullptr) return false;
    }
    return true;
}

// SCHEMA.TABLE: two names of letters, digits, "_" and "$".
bool isJournalName(const char* name) {
    const char* dot = strchr(name, '.');
    if (dot == nullptr || strchr(dot + 1, '.') != nullptr) return false;
    const std::string schema(name, static_cast<size_t>(dot - name));
    return allOf(schema.c_str(), MaxRunId, isalnum, "_$") && allOf(dot + 1, MaxRunId, isalnum, "_$");
}

// SCHEMA.TABLE (checked: letters, digits, "_" and "$") as `SCHEMA`.`TABLE`,
// so that a name the server reserves still names the table.
std::string tableName(const char* journal) {
    const char* dot = strchr(journal, '.');
    return "`" + std::string(journal, static_cast<size_t>(dot - journal)) + "`.`" + (dot + 1) + "`";
}

// A value as an SQL string literal, through the one escaping function
// (which needs the connection: its character set decides).
std::string quoted(const char* value) {
    char escaped[ValueRoom];
    if (escapeSqlValue(escaped, sizeof escaped, value) < 0) return "''";
    return std::string("'") + escaped + "'";
}

// Connects with the importer's settings; false (said on stderr) otherwise.
bool connect() {
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, SettingsFilePath, report);
    const int32_t result = values.user[0] == '\0' ? ErrorAccessDenied
                                                  : dbConnect(values.user, values.password, values.host, DatabaseName);
    wipeBytes(&values, sizeof values);
    if (result != 0) diagnose("cannot connect to the journal's server: %s (error %d)", lastErrorText(), result);
    return result == 0;
}

// Asks query (on the connection made); the answer's columns on stdout
// after front.
int ask(const std::string& query, const char* front) {
    Answer answer;
    const int32_t result = queryFirstRow(query.c_str(), takeColumns, &answer);
    if (result > 0) {
        diagnose("the journal cannot be read: %s (error %d)", lastErrorText(), result);
        return CannotAsk;
    }
    if (!answer.found) {
        if (front != nullptr) printf("absent\n");
        return Absent;
    }
    printf("%s%s\n", front != nullptr ? front : "", answer.columns.c_str());
    return Found;
}

int askRun(const char* journal, const char* runId) {
    if (!allOf(runId, MaxRunId, isalnum, "_-")) return UsageFault;
    // A locking read waits for a row that a COMMIT still under way holds,
    // so "absent" is never said of a run whose commit has not ended.
    const std::string query = std::string("SELECT CommitUtc, FailedCount, WrongLengthCount, ExitStatus, LineCount, "
                                          "WrittenCount FROM ") +
                              tableName(journal) + " WHERE RunId = " + quoted(runId) + " LOCK IN SHARE MODE";
    return ask(query, "committed ");
}

int askFile(const char* journal, const char* sha256, const char* typeCode) {
    if (strlen(sha256) != Sha256Digits || !allOf(sha256, Sha256Digits, isxdigit, "") ||
        !allOf(typeCode, 3, isalnum, "")) {
        return UsageFault;
    }
    const std::string query = std::string("SELECT RunId, CommitUtc FROM ") + tableName(journal) + " WHERE Sha256 = " +
                              quoted(sha256) + " AND TypeCode = " + quoted(typeCode) + " ORDER BY CommitUtc LIMIT 1";
    return ask(query, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    setDiagnosticProgram("kelvora-journal");
    const bool run = argc == 4 && strcmp(argv[1], "run") == 0;
    const bool file = argc == 5 && strcmp(argv[1], "file") == 0;
    int status = UsageFault;
    if ((run || file) && isJournalName(argv[2])) {
        if (!connect()) return CannotAsk;
        status = run ? askRun(argv[2], argv[3]) : askFile(argv[2], argv[3], argv[4]);
    }
    if (status == UsageFault) {
        fprintf(stderr, "usage: kelvora-journal run SCHEMA.TABLE RUNID | file SCHEMA.TABLE SHA256 TYPE\n");
    }
    return status;
}
