#include "driver/connect.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "common/contract.h"
#include "common/diag.h"
#include "common/paths.h"
#include "common/runstate.h"
#include "db/connection.h"
#include "settings/settings.h"

namespace {

constexpr int32_t NoSocket = 2002;
constexpr int32_t NoHost = 2003;
constexpr size_t EndpointRoom = 512;

// What the settings file gave, where it does not serve: the file itself,
// and values that did not decrypt to printable text.
void diagnoseSettings(const SettingsReport& report) {
    const std::string path = nativePath(SettingsFilePath);
    if (report.openError != 0) {
        diagnoseAt(Severity::Error, "settings file %s (working directory %s) cannot be read: %s", path.c_str(),
                   workingDirectory().c_str(), strerror(report.openError));
        return;
    }
    for (int i = 0; i < ConnectionKeyCount; ++i) {
        if (report.found[i] && !report.printable[i]) {
            diagnoseAt(Severity::Error,
                       "settings file %s: the value of %s did not decrypt to printable text (not written with "
                       "kelvora-settings, or damaged)",
                       path.c_str(), ConnectionKeys[i]);
        }
    }
}

// An empty login is never sent: the client library would put the login name
// of the process in its place.
void diagnoseEmptyLogin(const SettingsReport& report) {
    if (report.openError != 0) return;   // already said: no file
    diagnoseAt(Severity::Error,
               "the login is empty: it is expected as the value of LOGIN in the settings file %s (working "
               "directory %s); the connection is refused without being tried",
               nativePath(SettingsFilePath).c_str(), workingDirectory().c_str());
}

const char* environmentValue(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : "not set";
}

}  // namespace

void diagnoseConnection(const ConnectionValues& values, int32_t result) {
    if (result == ErrorOptionFileRefused) {
        diagnoseAt(Severity::Error, "%s; nothing is connected", lastErrorText());
        return;
    }
    char endpoint[EndpointRoom];
    describeEndpoint(values.host, endpoint, sizeof endpoint);
    diagnoseAt(Severity::Error, "%s%s to the %s, database %s: %s (error %d)", ConnectFailedText, values.user, endpoint,
               DatabaseName, lastErrorText(), result);
    if (result == NoSocket || result == NoHost) {
        char optionFile[EndpointRoom];
        describeOptionFile(optionFile, sizeof optionFile);
        diagnoseAt(Severity::Error,
                   "the socket comes from the option file (socket) or MYSQL_UNIX_PORT (%s), the port from the option "
                   "file (port) or MYSQL_TCP_PORT (%s); option file: %s; the settings file has a host (NET8) but no "
                   "port",
                   environmentValue("MYSQL_UNIX_PORT"), environmentValue("MYSQL_TCP_PORT"), optionFile);
    }
}

int32_t connectFromSettings() {
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, SettingsFilePath, report);
    snprintf(DbSystemName, sizeof DbSystemName, "%s", values.dbSystem);
    diagnoseSettings(report);
    int32_t result = ErrorAccessDenied;
    if (values.user[0] == '\0') {
        diagnoseEmptyLogin(report);
    } else {
        result = dbConnect(values.user, values.password, values.host, DatabaseName);
        if (result != 0) diagnoseConnection(values, result);
    }
    wipeBytes(&values, sizeof values);
    if (result != 0) printf("%s%d\n", ConnectFailedLine, result);
    return result;
}

void checkServer() {
    char value[16] = "";
    if (querySingleValue("SELECT @@lower_case_table_names", value, sizeof value) != 0) return;
    if (strcmp(value, "0") == 0) {
        diagnoseAt(Severity::Warning,
                   "the server compares table names case-sensitively (lower_case_table_names = 0): the statements "
                   "spell the schema RURUVURO, Ruruvuro and RuRuvuro, so records will fail with error 1146 unless "
                   "names are compared without regard to case");
    }
}
