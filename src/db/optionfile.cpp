#include "db/optionfile.h"

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
    "only socket, port, ssl-ca, ssl-cert, ssl-key, ssl-verify-server-cert and connect-timeout may be set there";

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

// The settings that only the settings file may give, and the session's
// character set, as the client library took them from the file.
std::string forbiddenSettings(const MYSQL& probe) {
    const struct {
        bool set;
        const char* name;
    } forbidden[] = {
        {probe.options.user != nullptr, "user"},
        {probe.options.password != nullptr, "password"},
        {probe.options.host != nullptr, "host"},
        {probe.options.db != nullptr, "database"},
        {probe.options.charset_name != nullptr, "default-character-set"},
        {probe.options.charset_dir != nullptr, "character-sets-dir"},
        {probe.options.init_command != nullptr, "init-command"},
        {probe.options.protocol != MYSQL_PROTOCOL_PIPE, "protocol"},
    };
    std::string names;
    for (const auto& setting : forbidden) {
        if (!setting.set) continue;
        if (!names.empty()) names += ", ";
        names += setting.name;
    }
    return names;
}

// The client library reads an option file only while it connects, and has
// no call that reads one otherwise. The probe is a second connection object
// that asks for a named pipe, which this platform does not have: the
// library reads the file into the object's options and stops with "unknown
// protocol" before it opens any socket. What the options then hold is what
// the file sets. A file that chooses a protocol itself gets another answer,
// and is refused.
void probeOptionFile(const char* path, OptionFileChoice& choice) {
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
    std::string forbidden = mysql_errno(&probe) == CR_CONN_UNKNOWN_PROTOCOL ? forbiddenSettings(probe) : "protocol";
    if (!forbidden.empty()) {
        snprintf(choice.reason, sizeof choice.reason,
                 "the option file %s sets %s: the login, password, host and database come only from the settings "
                 "file, and the session's character set is latin1; %s",
                 path, forbidden.c_str(), MaySet);
    } else {
        choice.state = OptionFileState::Used;
        if (probe.options.unix_socket != nullptr) {
            snprintf(choice.socket, sizeof choice.socket, "%s", probe.options.unix_socket);
        }
        choice.port = probe.options.port;
        my_bool verifyServer = 0;
        mysql_get_optionv(&probe, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verifyServer);
        choice.asksForTls = probe.options.ssl_ca != nullptr || probe.options.ssl_capath != nullptr ||
                            probe.options.ssl_cert != nullptr || probe.options.ssl_key != nullptr ||
                            verifyServer != 0;
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
