// kelvora-settings: writes and checks what the program's settings reader
// expects.
//   kelvora-settings encrypt VALUE
//       prints the hex text of VALUE encrypted with the program's key
//   kelvora-settings write --login U --pass P --db-system S --host H
//                          [--output FILE [--force]]
//       prints a complete settings file with the four connection values, or
//       writes it to FILE with mode 0600
//   kelvora-settings check [FILE] [--journal SCHEMA.TABLE]
//       shows the values of a settings file (never the password), tries the
//       connection the program would open with them, and reports what the
//       type codes need there: the tables, their transactions, the login's
//       rights on them, and the server's name comparison and strict mode;
//       with --journal also the journal table (KELVORA_JOURNAL) and the
//       rights the runs need on it
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/fd.h"
#include "common/paths.h"
#include "db/connection.h"
#include "driver/connect.h"
#include "driver/journal.h"
#include "import/members.h"
#include "import/serverfacts.h"
#include "import/tables.h"
#include "settings/cipher.h"
#include "settings/settings.h"
#include "settings_encrypt.h"

#ifndef KELVORA_VERSION
#error "KELVORA_VERSION must give the project's version"
#endif

namespace {

constexpr int Failure = 1;
constexpr int UsageError = 2;
constexpr size_t MaxDbSystem = 40;
constexpr size_t MaxHost = 41;
constexpr mode_t SettingsFileMode = 0600;
constexpr char SectionLine[] = "Kelvora;Datenbank;\n";
constexpr size_t OptionFileRoom = 600;
constexpr size_t ValueRoom = 256;

const char* const UsageText =
    "usage: kelvora-settings encrypt VALUE\n"
    "       kelvora-settings write --login USER --pass PASSWORD --db-system NAME --host HOST\n"
    "                              [--output FILE [--force]]\n"
    "       kelvora-settings check [FILE] [--journal SCHEMA.TABLE]\n"
    "       kelvora-settings grants --login USER [--host HOST] [--password-from FILE]\n"
    "                               [--journal SCHEMA.TABLE] [TYPE...]\n"
    "       kelvora-settings --help | --version\n";

const char* const CommandsText =
    "\n"
    "encrypt  print VALUE encrypted, as hex text, for editing a settings file by hand\n"
    "write    print a settings file with the four connection values; with --output\n"
    "         create FILE with mode 0600 instead (--force replaces an existing FILE)\n"
    "check    show LOGIN, DB_SYSTEM and NET8 of FILE (default ..\\..\\Files\\Corvantis.Ini,\n"
    "         as the importer finds it from the working directory), try the connection,\n"
    "         and report per table what the type codes need: that it exists, keeps\n"
    "         transactions, and that the login holds the rights their statements use;\n"
    "         with --journal also that the journal table exists, keeps transactions\n"
    "         and that the login may SELECT and INSERT there; the status is 1 when a\n"
    "         type code or the journal would fail (with or without UPD)\n"
    "grants   print the CREATE USER IF NOT EXISTS for USER@HOST (HOST default %),\n"
    "         with the password of FILE's first line or a placeholder to replace,\n"
    "         then the GRANT statements the type codes (all, or TYPE...) need, with\n"
    "         and without UPD, the deletion guard's temporary table, and the journal's\n";

// One connection value of the settings file: its option, key, number in the
// file and the longest value the program takes whole.
struct SettingOption {
    const char* option;
    const char* key;
    int number;
    size_t maxLength;
    const char* value;
};

constexpr int OptionCount = 4;

// What "write" was asked for: the four values and where they go.
struct WriteRequest {
    SettingOption options[OptionCount] = {
        {"--login", "LOGIN", 1, MaxSettingsPlaintext, nullptr},
        {"--pass", "PASS", 2, MaxSettingsPlaintext, nullptr},
        {"--db-system", "DB_SYSTEM", 3, MaxDbSystem, nullptr},
        {"--host", "NET8", 4, MaxHost, nullptr},
    };
    const char* output = nullptr;
    bool force = false;
};

// Prints message and the usage text to standard error; the usage status.
int usageError(const char* message) {
    fprintf(stderr, "kelvora-settings: %s\n%s", message, UsageText);
    return UsageError;
}

// Prints a failure with the system's reason to standard error; the failure
// status.
int systemFailure(const char* what, const char* path) {
    fprintf(stderr, "kelvora-settings: %s %s: %s\n", what, path, strerror(errno));
    return Failure;
}

// Writes text to standard output as bytes; 0, or 1 when the write failed.
int printBytes(std::string_view text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) return Failure;
    return 0;
}

// "encrypt VALUE".
int runEncrypt(int argc, char** argv) {
    if (argc != 3) return usageError("encrypt takes exactly one value");
    if (strlen(argv[2]) > MaxSettingsPlaintext) return usageError("value longer than 96 characters");
    return printBytes(encryptToHex(argv[2], SettingsCipherKey) + "\n");
}

// Assigns the value following an option; false for an unknown or repeated
// option.
bool takeOption(WriteRequest& request, const char* name, const char* value) {
    if (strcmp(name, "--output") == 0) {
        if (request.output != nullptr) return false;
        request.output = value;
        return true;
    }
    for (SettingOption& option : request.options) {
        if (strcmp(option.option, name) != 0) continue;
        if (option.value != nullptr) return false;
        option.value = value;
        return true;
    }
    return false;
}

// Fills request from the options of "write", in any order, each at most
// once; 0 or the usage status.
int parseWriteOptions(int argc, char** argv, WriteRequest& request) {
    for (int i = 2; i < argc;) {
        if (strcmp(argv[i], "--force") == 0) {
            if (request.force) return usageError("--force given twice");
            request.force = true;
            i += 1;
            continue;
        }
        if (i + 1 >= argc) return usageError("option without a value");
        if (!takeOption(request, argv[i], argv[i + 1])) return usageError("unknown or repeated option");
        i += 2;
    }
    if (request.force && request.output == nullptr) return usageError("--force needs --output");
    for (const SettingOption& option : request.options) {
        if (option.value == nullptr) {
            return usageError("all four values --login, --pass, --db-system, --host are required");
        }
        if (strlen(option.value) > option.maxLength) {
            std::string message = std::string(option.option) + " value longer than " +
                                  std::to_string(option.maxLength) + " characters";
            return usageError(message.c_str());
        }
    }
    return 0;
}

// One line pair per value: a section line, then "number;key;hex".
std::string settingsFileText(const SettingOption* options, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += SectionLine;
        text += std::to_string(options[i].number) + ";" + options[i].key + ";";
        text += encryptToHex(options[i].value, SettingsCipherKey) + "\n";
    }
    return text;
}

// Writes all of text to fd; false when a write failed (errno tells why).
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Writes text to fd, puts it on the disk and closes fd; false when any step
// failed, with errno of the first failure.
bool writeAndClose(UniqueFd fd, const std::string& text) {
    if (!writeAll(fd.get(), text) || fsync(fd.get()) != 0) return false;
    return fd.close();
}

// Creates path with mode 0600 and writes text into it. The file is created
// with that mode, so the password's ciphertext is never readable by others;
// an existing file is left alone.
int writeNewFile(const char* path, const std::string& text) {
    UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, SettingsFileMode));
    if (!fd.valid() && errno == EEXIST) {
        fprintf(stderr, "kelvora-settings: %s exists; --force replaces it\n", path);
        return Failure;
    }
    if (!fd.valid()) return systemFailure("cannot create", path);
    if (!writeAndClose(std::move(fd), text)) {
        int status = systemFailure("cannot write", path);
        unlink(path);
        return status;
    }
    return 0;
}

// Replaces path by a new file of mode 0600: the text goes into a temporary
// file beside it, which is then renamed over path, so the old file stays
// whole until the new one is complete and no reader ever sees a wider mode.
int replaceFile(const char* path, const std::string& text) {
    std::string temporary = std::string(path) + ".XXXXXX";
    UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return systemFailure("cannot create a temporary file beside", path);
    if (fchmod(fd.get(), SettingsFileMode) != 0 || !writeAndClose(std::move(fd), text)) {
        int status = systemFailure("cannot write", temporary.c_str());
        unlink(temporary.c_str());
        return status;
    }
    if (rename(temporary.c_str(), path) != 0) {
        int status = systemFailure("cannot replace", path);
        unlink(temporary.c_str());
        return status;
    }
    return 0;
}

// "write ...": the settings file on standard output, or into --output.
int runWrite(int argc, char** argv) {
    WriteRequest request;
    int status = parseWriteOptions(argc, argv, request);
    if (status != 0) return status;
    std::string text = settingsFileText(request.options, OptionCount);
    if (request.output == nullptr) return printBytes(text);
    if (request.force) return replaceFile(request.output, text);
    return writeNewFile(request.output, text);
}

// The settings reader takes an unreadable file for an empty one; check says
// which it is, with the working directory the relative path starts from.
bool settingsFileReadable(const std::string& path) {
    if (UniqueFile(fopen(path.c_str(), "rbe")).valid()) return true;
    int saved = errno;
    char directory[4096];
    const char* workingDirectory = getcwd(directory, sizeof directory) != nullptr ? directory : "?";
    fprintf(stderr, "kelvora-settings: cannot read %s: %s (working directory %s)\n", path.c_str(),
            strerror(saved), workingDirectory);
    return false;
}

// A "NET8" value the program drops (longer than it takes) connects through
// the local socket; check says so instead of showing an empty host only.
void showHost(const ConnectionValues& values, std::string_view settingsPath) {
    if (values.host[0] != '\0') {
        printf("NET8:      %s\n", values.host);
        return;
    }
    readSetting("", "NET8", 0, settingsPath);
    if (SettingValue[0] != '\0') {
        printf("NET8:      ignored, longer than %d characters: the local socket is used\n", HostNameRoom);
    } else {
        printf("NET8:      empty: the local socket is used\n");
    }
    wipeBytes(SettingValue, sizeof SettingValue);
}

// Shows the decrypted values, the password only as set or empty.
void showValues(const ConnectionValues& values, std::string_view settingsPath) {
    printf("settings:  %s\n", nativePath(settingsPath).c_str());
    printf("LOGIN:     %s\n", values.user[0] != '\0' ? values.user : "(empty)");
    printf("PASS:      %s\n", values.password[0] != '\0' ? "set (not shown)" : "(empty)");
    printf("DB_SYSTEM: %s\n", values.dbSystem[0] != '\0' ? values.dbSystem : "(empty)");
    showHost(values, settingsPath);
}

// Opens the connection the program opens, with the same values, database
// and option file; the result line names the server's error when it
// fails, and standard error has the importer's explanation. An empty login
// is not tried: the program refuses it with 1045.
int tryConnection(ConnectionValues& values) {
    char optionFile[OptionFileRoom];
    describeOptionFile(optionFile, sizeof optionFile);
    printf("option file: %s\n", optionFile);
    if (values.user[0] == '\0') {
        printf("connection: not tried, the login is empty (the program refuses it with error %d)\n",
               ErrorAccessDenied);
        return Failure;
    }
    int32_t result = dbConnect(values.user, values.password, values.host, DatabaseName);
    if (result != 0) {
        printf("connection: failed, error %d: %s\n", result, lastErrorText());
        fflush(stdout);
        diagnoseConnection(values, result);
        return Failure;
    }
    printf("connection: ok, database %s\n", DatabaseName);
    return 0;
}

// The first column of a query's first row as text; empty when it failed.
std::string firstValue(const char* query) {
    char value[ValueRoom] = "";
    querySingleValue(query, value, sizeof value);
    return value;
}

// Whether the server carries the session encrypted, as the server says.
void showEncryption() {
    std::string tls = firstValue(
        "SELECT GROUP_CONCAT(VARIABLE_VALUE ORDER BY VARIABLE_NAME DESC SEPARATOR ', ') "
        "FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME IN ('SSL_VERSION', 'SSL_CIPHER') "
        "AND VARIABLE_VALUE <> ''");
    printf("encryption: %s\n", tls.empty() ? "none, the session is not encrypted" : tls.c_str());
}

// How the server compares names (the statements spell the schema three
// ways) and whether the session is strict (multi-row INSERTs need it).
void showServer() {
    std::string names = firstValue("SELECT @@lower_case_table_names");
    printf("lower_case_table_names: %s%s\n", names.c_str(),
           names == "0" ? " (names compared case-sensitively: statements that spell the schema Ruruvuro or "
                          "RuRuvuro will fail)"
                        : "");
    std::string strict = firstValue(
        "SELECT @@SESSION.sql_mode LIKE '%STRICT_TRANS_TABLES%' OR @@SESSION.sql_mode LIKE '%STRICT_ALL_TABLES%'");
    printf("sql_mode: %s\n", strict == "1" ? "strict (replacing imports may send multi-row INSERTs)"
                                           : "not strict (every record is sent as a statement of its own)");
}

// One table as the type codes (or the journal) use it and as the server
// has it.
struct TableCheck {
    const char* name = nullptr;
    unsigned needed = 0;        // TableRight flags
    unsigned held = 0;
    TableFacts facts;
    unsigned members = 0;       // bit m: AllMembers[m] writes the table
    const JournalTable* journal = nullptr;   // the journal's table (name is then SCHEMA.TABLE)
};

// What "check" was asked for: the settings file, and the journal table
// when --journal names one.
struct CheckRequest {
    std::string settingsPath = SettingsFilePath;
    const char* journalName = nullptr;
    JournalTable journal;
};

// The journal's table: the runs write their row there (INSERT), and a
// caller that imports with the same login reads it back (SELECT) to tell
// whether a file was imported.
TableCheck journalCheck(const CheckRequest& request) {
    TableCheck table;
    table.name = request.journalName;
    table.needed = RightSelect | RightInsert;
    table.journal = &request.journal;
    return table;
}

// Adds the needs of one table of member m to the list of tables.
void addTableNeeds(std::vector<TableCheck>& tables, const char* name, unsigned writes, int m) {
    for (TableCheck& table : tables) {
        if (strcmp(table.name, name) != 0) continue;
        table.needed |= rightsNeeded(writes);
        table.members |= 1u << m;
        return;
    }
    TableCheck table;
    table.name = name;
    table.needed = rightsNeeded(writes);
    table.members = 1u << m;
    tables.push_back(table);
}

// Every table of every type code, with the rights its statements need.
std::vector<TableCheck> tablesOfTheTypeCodes() {
    std::vector<TableCheck> tables;
    for (int m = 0; m < MemberCount; ++m) {
        const ImportMember& member = *AllMembers[m];
        addTableNeeds(tables, member.table, member.tableWrites | member.updateTableWrites, m);
        for (int i = 0; i < member.otherTableCount; ++i) {
            addTableNeeds(tables, member.otherTables[i], member.otherTableWrites[i], m);
        }
    }
    return tables;
}

// What the server has of a table, or false when it did not answer.
bool askServer(TableCheck& table) {
    if (table.journal != nullptr) {
        table.facts = queryTableFactsIn(table.journal->schema, table.journal->table);
        return table.facts.known &&
               queryTableRightsIn(table.journal->schema, table.journal->table, table.held) == 0;
    }
    table.facts = readTableFacts(table.name);
    return table.facts.known && queryTableRights(table.name, table.held) == 0;
}

const char* rightCell(const TableCheck& table, unsigned right) {
    if ((table.needed & right) == 0) return "-";
    if (!table.facts.exists) return "?";
    return (table.held & right) != 0 ? "yes" : "NO";
}

void printTableLine(const TableCheck& table) {
    const bool missing = !table.facts.exists;
    printf("%-10s %-6s %-12s", table.name, missing ? "NO" : "yes",
           missing ? "?" : table.facts.transactional ? "yes" : "NO");
    for (int i = 0; i < TableRightCount; ++i) printf(" %-6s", rightCell(table, 1u << i));
    for (int m = 0; m < MemberCount; ++m) {
        if ((table.members & (1u << m)) != 0) printf(" %s", AllMembers[m]->typeCode);
    }
    if (table.journal != nullptr) printf(" journal");
    printf("\n");
}

// What a table lacks for the type codes that write it: "missing", or the
// rights not held; empty when it has everything.
std::string tableLacks(const TableCheck& table) {
    if (!table.facts.exists) return "missing";
    std::string lacks;
    for (int i = 0; i < TableRightCount; ++i) {
        unsigned right = 1u << i;
        if ((table.needed & right) == 0 || (table.held & right) != 0) continue;
        lacks += lacks.empty() ? "" : " ";
        lacks += TableRightNames[i];
    }
    return lacks;
}

// The table of the list by name.
const TableCheck* tableNamed(const std::vector<TableCheck>& tables, const char* name) {
    for (const TableCheck& table : tables) {
        if (strcmp(table.name, name) == 0) return &table;
    }
    return nullptr;
}

// What a table lacks for writes of one way: "missing", or the rights not
// held; empty when it has everything.
std::string lacksFor(const TableCheck& table, unsigned writes) {
    TableCheck asked = table;
    asked.needed = rightsNeeded(writes);
    return tableLacks(asked);
}

// What member m's tables lack, run without UPD or with it; empty when
// nothing.
std::string memberLacks(const std::vector<TableCheck>& tables, int m, bool update) {
    const ImportMember& member = *AllMembers[m];
    std::string reasons;
    for (int i = -1; i < member.otherTableCount; ++i) {
        const char* name = i < 0 ? member.table : member.otherTables[i];
        const unsigned writes = tableWritesOf(member, i, update ? WriteMode::Update : WriteMode::Replace);
        const TableCheck* table = tableNamed(tables, name);
        const std::string lacks = table == nullptr ? std::string() : lacksFor(*table, writes);
        if (lacks.empty()) continue;
        reasons += reasons.empty() ? "" : "; ";
        reasons += std::string(name) + " " + lacks;
    }
    return reasons;
}

// A type code fails when one of its tables is missing or lacks a right
// its statements use; each is named with what it meets, without UPD and,
// where UPD writes otherwise (20P, 35P, 41P need no DELETE then), with it.
int reportFailingTypeCodes(const std::vector<TableCheck>& tables) {
    int failing = 0;
    for (int m = 0; m < MemberCount; ++m) {
        const bool hasUpdate = AllMembers[m]->updateTableWrites != 0;
        const std::string plain = memberLacks(tables, m, false);
        const std::string update = hasUpdate ? memberLacks(tables, m, true) : plain;
        const char* code = AllMembers[m]->typeCode;
        if (plain.empty() && update.empty()) continue;
        failing++;
        if (!hasUpdate) {
            printf("would fail: %s (%s)\n", code, plain.c_str());
        } else if (plain.empty()) {
            printf("would fail: %s UPD (%s); without UPD it has what it needs\n", code, update.c_str());
        } else if (update.empty()) {
            printf("would fail: %s (%s); with UPD it has what it needs\n", code, plain.c_str());
        } else {
            printf("would fail: %s (%s) and %s UPD (%s)\n", code, plain.c_str(), code, update.c_str());
        }
    }
    if (failing == 0) printf("type codes: every one has its tables and rights, with and without UPD\n");
    return failing == 0 ? 0 : Failure;
}

// Rights that come through a role are not in the privilege views that the
// login may read; the report says so when the session has roles.
void noteRoles() {
    std::string roles = firstValue("SELECT GROUP_CONCAT(ROLE_NAME SEPARATOR ', ') FROM information_schema.ENABLED_ROLES");
    if (roles.empty()) return;
    printf("note: the session has the roles %s; rights that come only through them are not shown to the login, "
           "so a right reported NO may still be held\n",
           roles.c_str());
}

// The journal fails when its table is missing, lacks a right the runs use
// or keeps no transactions (its row would stay when a run is not
// committed); it is named with what it meets.
int reportJournal(const TableCheck& journal) {
    std::string lacks = tableLacks(journal);
    if (journal.facts.exists && !journal.facts.transactional) {
        lacks += lacks.empty() ? "no transactions" : ", no transactions";
    }
    if (lacks.empty()) {
        printf("journal: %s has what the runs need\n", journal.name);
        return 0;
    }
    printf("would fail: journal (%s %s)\n", journal.name, lacks.c_str());
    return Failure;
}

// The deletion guard (KELVORA_MAX_DELETES, on by default in kelvora-watch)
// reads every table the runs write and notes their keys in a temporary
// table: it fails where the login lacks SELECT on one of them, or CREATE
// TEMPORARY TABLES on RURUVURO. Named on a line of its own.
int reportDeletionGuard(const std::vector<TableCheck>& tables) {
    std::string lacks;
    for (const TableCheck& table : tables) {
        if (table.journal != nullptr || !table.facts.exists || (table.held & RightSelect) != 0) continue;
        lacks += (lacks.empty() ? "no SELECT on " : ", ") + std::string(table.name);
    }
    const std::string temporary = firstValue(
        "SELECT COUNT(*) FROM (SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.USER_PRIVILEGES "
        "UNION ALL SELECT GRANTEE, PRIVILEGE_TYPE FROM information_schema.SCHEMA_PRIVILEGES "
        "WHERE 'RURUVURO' LIKE TABLE_SCHEMA) AS granted WHERE PRIVILEGE_TYPE = 'CREATE TEMPORARY TABLES' "
        "AND GRANTEE = CONCAT('''', REPLACE(CURRENT_USER(), '@', '''@'''), '''')");
    if (temporary.empty() || temporary == "0") {
        lacks += (lacks.empty() ? "" : "; ") + std::string("no CREATE TEMPORARY TABLES on ") + DatabaseName;
    }
    if (lacks.empty()) {
        printf("deletion guard: has what it needs\n");
        return 0;
    }
    printf("deletion guard: would fail (%s); kelvora-watch guards by default\n", lacks.c_str());
    return Failure;
}

// The tables of the type codes, and the journal's when one is named, one
// line each; then the type codes, the deletion guard and the journal that
// would fail. 0, or Failure when one would.
int checkTables(const CheckRequest& request) {
    std::vector<TableCheck> tables = tablesOfTheTypeCodes();
    if (request.journalName != nullptr) tables.push_back(journalCheck(request));
    printf("\n%-10s %-6s %-12s", "table", "exists", "transactions");
    for (const char* right : TableRightNames) printf(" %-6s", right);
    printf(" type codes\n");
    for (TableCheck& table : tables) {
        if (!askServer(table)) {
            printf("%-10s the server did not answer: %s\n", table.name, lastErrorText());
            return Failure;
        }
        printTableLine(table);
    }
    printf("\n");
    noteRoles();
    int status = reportFailingTypeCodes(tables);   // the journal's line, last, belongs to no type code
    if (reportDeletionGuard(tables) != 0) status = Failure;
    if (request.journalName != nullptr && reportJournal(tables.back()) != 0) status = Failure;
    return status;
}

// The options of "check": at most one FILE and one --journal SCHEMA.TABLE,
// in any order; 0 or the usage status.
int parseCheckOptions(int argc, char** argv, CheckRequest& request) {
    bool fileGiven = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--journal") == 0) {
            if (request.journalName != nullptr) return usageError("--journal given twice");
            if (i + 1 >= argc) return usageError("--journal needs SCHEMA.TABLE");
            request.journalName = argv[++i];
            continue;
        }
        if (fileGiven) return usageError("check takes at most one file");
        request.settingsPath = argv[i];
        fileGiven = true;
    }
    if (request.journalName != nullptr && !parseJournalTable(request.journalName, request.journal)) {
        return usageError("--journal needs SCHEMA.TABLE: two names of A-Z, a-z, 0-9, _ and $ joined by one dot");
    }
    return 0;
}

// "check [FILE] [--journal SCHEMA.TABLE]".
int runCheck(int argc, char** argv) {
    CheckRequest request;
    int usage = parseCheckOptions(argc, argv, request);
    if (usage != 0) return usage;
    const std::string& settingsPath = request.settingsPath;
    if (!settingsFileReadable(nativePath(settingsPath))) return Failure;
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, settingsPath, report);
    showValues(values, settingsPath);
    fflush(stdout);
    int status = tryConnection(values);
    wipeBytes(&values, sizeof values);
    if (status != 0) return status;
    showEncryption();
    showServer();
    return checkTables(request);
}

}  // namespace

// The rights as a GRANT lists them: "SELECT, INSERT, ...".
std::string rightList(unsigned rights) {
    std::string list;
    for (int i = 0; i < TableRightCount; ++i) {
        if ((rights & (1u << i)) == 0) continue;
        list += list.empty() ? "" : ", ";
        list += TableRightNames[i];
    }
    return list;
}

// A name as an SQL string literal, through the one escaping function.
std::string quotedName(const char* name) {
    std::vector<char> escaped(2 * strlen(name) + 1);
    if (escapeSqlValue(escaped.data(), escaped.size(), name) < 0) return "''";
    return std::string("'") + escaped.data() + "'";
}

// The member of a type code, in any case; -1 when none.
int memberOf(const char* code) {
    for (int m = 0; m < MemberCount; ++m) {
        if (strcasecmp(AllMembers[m]->typeCode, code) == 0) return m;
    }
    return -1;
}

// What "grants" was asked for.
struct GrantRequest {
    const char* login = nullptr;
    const char* host = "%";
    const char* journalName = nullptr;
    const char* passwordFile = nullptr;
    unsigned members = 0;   // bit m: AllMembers[m]; none named: all
};

// What CREATE USER says for the password when no file gives it: a word a
// DBA replaces, which no server would take for a chosen password unnoticed.
constexpr const char* PasswordPlaceholder = "REPLACE-WITH-THE-PASSWORD";
// The longest password file read; a password is a line, not a document.
constexpr size_t MaxPasswordFile = 1024;

// The password: the first line of path (its line end dropped), read through
// one bounded read; false with a message on standard error when the file
// cannot be read, is longer than a password, or gives an empty line.
bool readPassword(const char* path, std::string& password) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return systemFailure("cannot open", path) == 0;
    char bytes[MaxPasswordFile + 1];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = read(fd.get(), bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return systemFailure("cannot read", path) == 0;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    password.assign(bytes, got);
    wipeBytes(bytes, sizeof bytes);
    password.erase(std::min(password.find_first_of("\r\n"), password.size()));
    if (got > MaxPasswordFile || password.empty() || password.find('\0') != std::string::npos) {
        fprintf(stderr, "kelvora-settings: %s: the first line must hold the password (1 to %zu bytes, no NUL)\n",
                path, MaxPasswordFile);
        return false;
    }
    return true;
}

int parseGrantOptions(int argc, char** argv, GrantRequest& request) {
    for (int i = 2; i < argc; ++i) {
        const bool valued = strcmp(argv[i], "--login") == 0 || strcmp(argv[i], "--host") == 0 ||
                            strcmp(argv[i], "--journal") == 0 || strcmp(argv[i], "--password-from") == 0;
        if (valued && i + 1 >= argc) return usageError("an option of grants has no value");
        if (strcmp(argv[i], "--login") == 0) {
            request.login = argv[++i];
        } else if (strcmp(argv[i], "--host") == 0) {
            request.host = argv[++i];
        } else if (strcmp(argv[i], "--journal") == 0) {
            request.journalName = argv[++i];
        } else if (strcmp(argv[i], "--password-from") == 0) {
            request.passwordFile = argv[++i];
        } else if (memberOf(argv[i]) >= 0) {
            request.members |= 1u << memberOf(argv[i]);
        } else {
            return usageError("grants: unknown type code or option");
        }
    }
    if (request.login == nullptr || request.login[0] == '\0') return usageError("grants needs --login USER");
    if (request.members == 0) request.members = (1u << MemberCount) - 1;
    return 0;
}

// "grants --login USER [--host HOST] [--password-from FILE] [--journal
// SCHEMA.TABLE] [TYPE...]": the login made where it is missing, then the
// GRANT statements it needs for the type codes, with and without UPD, one
// per table, and for the journal. Run on a fresh server, that is all a new
// login needs.
int runGrants(int argc, char** argv) {
    GrantRequest request;
    const int usage = parseGrantOptions(argc, argv, request);
    if (usage != 0) return usage;
    JournalTable journal;
    if (request.journalName != nullptr && !parseJournalTable(request.journalName, journal)) {
        return usageError("--journal needs SCHEMA.TABLE");
    }
    std::string password = PasswordPlaceholder;
    if (request.passwordFile != nullptr && !readPassword(request.passwordFile, password)) return Failure;
    if (!prepareConnection()) return Failure;
    const std::string account = quotedName(request.login) + "@" + quotedName(request.host);
    const std::string to = " TO " + account + ";\n";
    std::string text;
    if (request.passwordFile == nullptr) {
        text += std::string("-- replace ") + PasswordPlaceholder + " with the login's password\n";
    }
    text += "CREATE USER IF NOT EXISTS " + account + " IDENTIFIED BY " + quotedName(password.c_str()) + ";\n";
    wipeBytes(&password[0], password.size());
    for (const TableCheck& table : tablesOfTheTypeCodes()) {
        if ((table.members & request.members) == 0) continue;
        // The deletion guard counts the rows of every table the run writes.
        text += "GRANT " + rightList(table.needed | RightSelect) + " ON " + DatabaseName + "." + table.name + to;
    }
    // The deletion guard notes the keys before a run in a temporary table
    // of the session.
    text += std::string("GRANT CREATE TEMPORARY TABLES ON ") + DatabaseName + ".*" + to;
    if (request.journalName != nullptr) {
        text += "GRANT SELECT, INSERT ON " + std::string(journal.schema) + "." + journal.table + to;
    }
    return printBytes(text);
}

int main(int argc, char** argv) {
    setDiagnosticProgram("kelvora-settings");
    if (argc < 2) return usageError("missing command");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        return printBytes(std::string(UsageText) + CommandsText);
    }
    if (strcmp(argv[1], "--version") == 0) return printBytes("kelvora-settings " KELVORA_VERSION "\n");
    if (strcmp(argv[1], "encrypt") == 0) return runEncrypt(argc, argv);
    if (strcmp(argv[1], "write") == 0) return runWrite(argc, argv);
    if (strcmp(argv[1], "check") == 0) return runCheck(argc, argv);
    if (strcmp(argv[1], "grants") == 0) return runGrants(argc, argv);
    return usageError("unknown command");
}
