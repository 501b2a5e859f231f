#include "db/optionfile.h"

#include "common/fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <mysql.h>
#include <errmsg.h>

namespace {

constexpr const char* OptionFileVariable = "KELVORA_OPTION_FILE";
constexpr const char* SiteOptionFile = "/etc/kelvora/client.cnf";
// The library reads the groups [client], [client-server], [client-mariadb]
// and this one.
constexpr const char* OptionGroup = "kelvora";
constexpr const char* MaySet =
    "only socket, port, ssl-ca, ssl-cert, ssl-key, ssl-verify-server-cert, connect-timeout, read-timeout and "
    "write-timeout may be set there";

// Where the probe would go if a file chose a protocol of its own: a host
// and a socket that no server has (a path below a file), and port 1.
constexpr const char* ProbeHost = "localhost";
constexpr const char* ProbeUser = "kelvora-probe";
constexpr const char* ProbeSocket = "/dev/null/kelvora-probe";
constexpr unsigned ProbePort = 1;

OptionFileChoice Choice;
bool Chosen = false;
char SessionShortfall[512] = "";

// The file to look at: the one KELVORA_OPTION_FILE names, else the site's.
const char* optionFilePath() {
    const char* named = getenv(OptionFileVariable);
    return named != nullptr && named[0] != '\0' ? named : SiteOptionFile;
}

bool namedByEnvironment() {
    const char* named = getenv(OptionFileVariable);
    return named != nullptr && named[0] != '\0';
}

// A file that exists but cannot serve is refused: connecting without it
// would quietly drop the TLS the site asked for.
bool fileReadable(const char* path, OptionFileChoice& choice) {
    struct stat info;
    if (stat(path, &info) != 0) {
        if (errno == ENOENT && namedByEnvironment()) {
            snprintf(choice.reason, sizeof choice.reason, "KELVORA_OPTION_FILE names %s, which does not exist", path);
            return false;
        }
        if (errno == ENOENT) {
            snprintf(choice.reason, sizeof choice.reason, "%s does not exist", path);
            return false;
        }
        choice.state = OptionFileState::Refused;
        snprintf(choice.reason, sizeof choice.reason, "the option file %s cannot be reached: %s", path,
                 strerror(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode) || access(path, R_OK) != 0) {
        choice.state = OptionFileState::Refused;
        snprintf(choice.reason, sizeof choice.reason, "the option file %s cannot be read: %s", path,
                 S_ISREG(info.st_mode) ? strerror(errno) : "not a regular file");
        return false;
    }
    return true;
}

// What the file sets among the settings the client library has no getter
// for: the library reads user, password, host, database, character set,
// character set folder, socket and port from an option file, but
// mysql_get_optionv answers none of them (it has no case for the login, host,
// database, socket and port, gives the character set it would use instead of
// the one asked for, and no folder). So these are read here, by the rules the
// library follows, which a trial of the library showed: only the groups
// [client], [client-server], [client-mariadb] and [kelvora], names exact but
// "_" for "-", "passwd" for password and "db" for database, a value between
// quotes without them, an empty value or a name without one sets nothing,
// "#" and ";" start a comment only at the start of a line, "!include PATH"
// reads PATH (as written, relative to the working folder) and "!includedir"
// reads nothing. The read and write timeouts are read here too: the library
// takes them through mysql_options but not from a file (a trial of its
// getters showed them unchanged by read-timeout and write-timeout lines), so
// the file's lines are found by the same rules and given to it that way.
struct FileSettings {
    bool user = false;
    bool password = false;
    bool host = false;
    bool database = false;
    bool characterSet = false;
    bool characterSetDir = false;
    bool emptyInitCommand = false;   // "init-command =" with no value
    std::string socket;              // the last value, or empty
    unsigned port = 0;               // the last value, or 0
    std::string readTimeout;         // the last value as written, or empty
    std::string writeTimeout;        // the last value as written, or empty
};

constexpr int MostNestedIncludes = 8;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text between first and last without blanks at either end.
std::string trimmed(const char* first, const char* last) {
    while (first < last && isBlank(*first)) ++first;
    while (last > first && isBlank(last[-1])) --last;
    return std::string(first, last);
}

bool groupIsRead(const std::string& group) {
    return group == "client" || group == "client-server" || group == "client-mariadb" || group == OptionGroup;
}

// One "name = value" line of a group the library reads.
void takeSetting(std::string name, std::string value, FileSettings& settings) {
    for (char& c : name) {
        if (c == '_') c = '-';
    }
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
        value = value.substr(1, value.size() - 2);
    }
    if (name == "init-command" && value.empty()) settings.emptyInitCommand = true;
    if (value.empty()) return;
    if (name == "user") settings.user = true;
    if (name == "password" || name == "passwd") settings.password = true;
    if (name == "host") settings.host = true;
    if (name == "database" || name == "db") settings.database = true;
    if (name == "default-character-set") settings.characterSet = true;
    if (name == "character-sets-dir") settings.characterSetDir = true;
    if (name == "socket") settings.socket = value;
    if (name == "port") settings.port = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
    if (name == "read-timeout") settings.readTimeout = value;
    if (name == "write-timeout") settings.writeTimeout = value;
}

// Reads one file (and the files it includes) into settings. A file that
// cannot be opened adds nothing, as for the library, which skips an include
// it cannot read; the top file was found readable before.
void readSettings(const char* path, int depth, FileSettings& settings) {
    const UniqueFile opened(fopen(path, "re"));
    FILE* file = opened.get();
    if (file == nullptr) return;
    std::string group;
    char* line = nullptr;
    size_t room = 0;
    ssize_t length;
    while ((length = getline(&line, &room, file)) >= 0) {
        std::string text = trimmed(line, line + length);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            group = close == std::string::npos ? std::string() : text.substr(1, close - 1);
            continue;
        }
        if (text.compare(0, 9, "!include ") == 0 || text.compare(0, 9, "!include\t") == 0) {
            std::string included = trimmed(text.c_str() + 9, text.c_str() + text.size());
            if (depth < MostNestedIncludes && !included.empty()) readSettings(included.c_str(), depth + 1, settings);
            continue;
        }
        if (!groupIsRead(group)) continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        takeSetting(trimmed(text.c_str(), text.c_str() + equals),
                    trimmed(text.c_str() + equals + 1, text.c_str() + text.size()), settings);
    }
    free(line);
}

// A string option as the library holds it, through its public getter:
// true when it is set (the getter answers nullptr for one that is not).
bool stringOptionSet(MYSQL* probe, enum mysql_option option) {
    const char* value = nullptr;
    return mysql_get_optionv(probe, option, &value) == 0 && value != nullptr;
}

// The number of init commands the library holds; the getter answers the
// list and its length.
size_t initCommandCount(MYSQL* probe) {
    char** commands = nullptr;
    size_t count = 0;
    if (mysql_get_optionv(probe, MYSQL_INIT_COMMAND, &commands, &count) != 0) return 0;
    return commands != nullptr ? count : 0;
}

// The settings that only the settings file may give, and the session's
// character set: what this file's own reading found, and whether the
// library holds init commands or a protocol of the file's.
std::string forbiddenSettings(const FileSettings& file, bool initCommand, bool protocol) {
    const struct {
        bool set;
        const char* name;
    } forbidden[] = {
        {file.user, "user"},
        {file.password, "password"},
        {file.host, "host"},
        {file.database, "database"},
        {file.characterSet, "default-character-set"},
        {file.characterSetDir, "character-sets-dir"},
        {initCommand, "init-command"},
        {protocol, "protocol"},
    };
    std::string names;
    for (const auto& setting : forbidden) {
        if (!setting.set) continue;
        if (!names.empty()) names += ", ";
        names += setting.name;
    }
    return names;
}

// The probe's protocol is still the named pipe it asked for, unless the
// file chose one.
bool protocolChanged(MYSQL* probe) {
    unsigned protocol = MYSQL_PROTOCOL_DEFAULT;
    if (mysql_get_optionv(probe, MYSQL_OPT_PROTOCOL, &protocol) != 0) return true;
    return protocol != MYSQL_PROTOCOL_PIPE;
}

// Why a refused file is refused, with the names of what it sets.
void refuse(const char* path, const std::string& forbidden, OptionFileChoice& choice) {
    choice.state = OptionFileState::Refused;
    snprintf(choice.reason, sizeof choice.reason,
             "the option file %s sets %s: the login, password, host and database come only from the settings "
             "file, and the session's character set is latin1; %s",
             path, forbidden.c_str(), MaySet);
}

// A timeout as the file writes it, in seconds: only a whole number from 1 to
// LongestNetTimeoutSeconds is taken. Anything else ("0", "2m", "soon") would
// leave the connection waiting for ever or for a time the site did not mean.
bool timeoutSeconds(const std::string& text, unsigned& seconds) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = strtoul(text.c_str(), nullptr, 10);
    if (value < 1 || value > LongestNetTimeoutSeconds) return false;
    seconds = static_cast<unsigned>(value);
    return true;
}

// The file's read and write timeouts into choice, where it sets them; false
// after refusing the file for one that is not a number of seconds.
bool takeTimeouts(const char* path, const FileSettings& file, OptionFileChoice& choice) {
    const struct {
        const std::string& text;
        const char* name;
        unsigned& seconds;
    } timeouts[] = {{file.readTimeout, "read-timeout", choice.readTimeout},
                    {file.writeTimeout, "write-timeout", choice.writeTimeout}};
    for (const auto& timeout : timeouts) {
        if (timeout.text.empty() || timeoutSeconds(timeout.text, timeout.seconds)) continue;
        choice.state = OptionFileState::Refused;
        snprintf(choice.reason, sizeof choice.reason,
                 "the option file %s sets %s = %s, which is not a whole number of seconds from 1 to %u", path,
                 timeout.name, timeout.text.c_str(), LongestNetTimeoutSeconds);
        return false;
    }
    return true;
}

// The client library reads an option file only while it connects, and has
// no call that reads one otherwise. The probe is a second connection object
// that asks for a named pipe, which this platform does not have: the
// library reads the file into the object's options and stops with "unknown
// protocol" before it opens any socket. What its getters then answer is
// what the file sets. A file that chooses a protocol itself gets another
// answer, and is refused. A file with an empty init-command is refused
// before the probe: the library fails on one while it reads the file.
void probeOptionFile(const char* path, OptionFileChoice& choice) {
    FileSettings file;
    readSettings(path, 0, file);
    if (file.emptyInitCommand) {
        refuse(path, forbiddenSettings(file, true, false), choice);
        return;
    }
    if (!takeTimeouts(path, file, choice)) return;
    MYSQL probe;
    choice.state = OptionFileState::Refused;
    if (mysql_init(&probe) == nullptr) {
        snprintf(choice.reason, sizeof choice.reason, "no memory to read the option file %s", path);
        return;
    }
    unsigned pipe = MYSQL_PROTOCOL_PIPE;
    mysql_optionsv(&probe, MYSQL_READ_DEFAULT_FILE, path);
    mysql_optionsv(&probe, MYSQL_READ_DEFAULT_GROUP, OptionGroup);
    mysql_optionsv(&probe, MYSQL_OPT_PROTOCOL, &pipe);
    mysql_real_connect(&probe, ProbeHost, ProbeUser, "", nullptr, ProbePort, ProbeSocket, 0);
    std::string forbidden = mysql_errno(&probe) == CR_CONN_UNKNOWN_PROTOCOL
                                ? forbiddenSettings(file, initCommandCount(&probe) != 0, protocolChanged(&probe))
                                : "protocol";
    if (!forbidden.empty()) {
        refuse(path, forbidden, choice);
    } else {
        choice.state = OptionFileState::Used;
        snprintf(choice.socket, sizeof choice.socket, "%s", file.socket.c_str());
        choice.port = file.port;
        my_bool verifyServer = 0;
        mysql_get_optionv(&probe, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verifyServer);
        choice.asksForTls = stringOptionSet(&probe, MYSQL_OPT_SSL_CA) ||
                            stringOptionSet(&probe, MYSQL_OPT_SSL_CAPATH) ||
                            stringOptionSet(&probe, MYSQL_OPT_SSL_CERT) ||
                            stringOptionSet(&probe, MYSQL_OPT_SSL_KEY) || verifyServer != 0;
    }
    mysql_close(&probe);
}

}  // namespace

const OptionFileChoice& chooseOptionFile() {
    if (Chosen) return Choice;
    Chosen = true;
    Choice.path = optionFilePath();
    if (fileReadable(Choice.path, Choice)) probeOptionFile(Choice.path, Choice);
    return Choice;
}

void applyOptionFile(st_mysql* connection, const OptionFileChoice& choice) {
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &choice.readTimeout);
    mysql_options(connection, MYSQL_OPT_WRITE_TIMEOUT, &choice.writeTimeout);
    if (choice.state != OptionFileState::Used) return;
    mysql_optionsv(connection, MYSQL_READ_DEFAULT_FILE, choice.path);
    mysql_optionsv(connection, MYSQL_READ_DEFAULT_GROUP, OptionGroup);
}

const char* sessionFallsShortOf(st_mysql* connection, const OptionFileChoice& choice) {
    if (choice.state != OptionFileState::Used || !choice.asksForTls) return nullptr;
    if (mysql_get_ssl_cipher(connection) != nullptr) return nullptr;
    snprintf(SessionShortfall, sizeof SessionShortfall,
             "the option file %s asks for TLS, but the server did not encrypt the session (it offers no TLS); "
             "nothing is sent",
             choice.path);
    return SessionShortfall;
}
