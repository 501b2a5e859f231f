// Fuzz target: the settings file reader, no database.
//
// The input's first byte picks one of two forms:
// - raw (even first byte): the rest is the settings file as it stands. The
//   four lookups of a run and a lookup by section and number run over it;
//   every value must stay within its room.
// - built (odd first byte): the rest is split at zero bytes into four
//   plaintexts for "LOGIN", "PASS", "DB_SYSTEM" and "NET8", which are
//   encrypted into a well-formed settings file. The reader must give each
//   value back as the program keeps it (DB_SYSTEM cut to its room, NET8
//   only when 1 to 41 characters long).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "settings/settings.h"
#include "tools/settings_encrypt.h"

namespace {

constexpr unsigned char BuiltForm = 0x01;
constexpr int ValueCount = 4;
constexpr const char* Keys[ValueCount] = {"LOGIN", "PASS", "DB_SYSTEM", "NET8"};


char SettingsPath[] = "/tmp/kelvora-fuzz-settings-XXXXXX";
int SettingsFd = -1;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_settings: %s\n", what);
    abort();
}

void removeSettingsFile() {
    unlink(SettingsPath);
}

// Replaces the settings file's content.
void writeSettingsFile(const std::string& bytes) {
    if (ftruncate(SettingsFd, 0) != 0) fail("ftruncate");
    if (!bytes.empty() && pwrite(SettingsFd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        fail("pwrite");
    }
}

// Lookups over an arbitrary file: whatever it holds, no value outgrows the
// room the program gives it.
void checkRawFile() {
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, SettingsPath, report);
    if (strnlen(values.user, sizeof values.user) >= sizeof values.user) fail("user name unterminated");
    if (strnlen(values.password, sizeof values.password) >= sizeof values.password) fail("password unterminated");
    if (strnlen(values.host, sizeof values.host) > HostNameRoom) fail("host name too long");
    if (strnlen(values.dbSystem, sizeof values.dbSystem) > DbSystemRoom) fail("DB_SYSTEM too long");
    readSetting("DB", "", 7, SettingsPath);
    if (strnlen(SettingValue, sizeof SettingValue) >= sizeof SettingValue) fail("value unterminated");
}

// The four plaintexts from the input, split at zero bytes, each cut to what
// one value field can carry encrypted.
void splitPlaintexts(const uint8_t* data, size_t size, std::string* plain) {
    size_t start = 0;
    for (int i = 0; i < ValueCount; ++i) {
        size_t end = start;
        while (end < size && data[end] != 0) ++end;
        if (start < size) plain[i].assign(reinterpret_cast<const char*>(data + start), end - start);
        if (plain[i].size() > MaxSettingsPlaintext) plain[i].resize(MaxSettingsPlaintext);
        start = end + 1;
    }
}

// A settings file in the form the operators' tool writes: per value a line
// with a section field, then "number;key;hex".
std::string buildFile(const std::string* plain) {
    std::string file;
    for (int i = 0; i < ValueCount; ++i) {
        file += ";DATENBANK;\r\n" + std::to_string(i + 1) + ";" + Keys[i] + ";" +
                encryptToHex(plain[i], SettingsCipherKey) + "\r\n";
    }
    return file;
}

void checkBuiltFile(const uint8_t* data, size_t size) {
    std::string plain[ValueCount];
    splitPlaintexts(data, size, plain);
    writeSettingsFile(buildFile(plain));
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, SettingsPath, report);
    if (plain[0] != values.user) fail("LOGIN does not come back");
    if (plain[1] != values.password) fail("PASS does not come back");
    if (plain[2].substr(0, DbSystemRoom) != values.dbSystem) fail("DB_SYSTEM does not come back");
    bool hostFits = !plain[3].empty() && plain[3].size() <= HostNameRoom;
    if ((hostFits ? plain[3] : std::string()) != values.host) fail("NET8 does not come back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SettingsFd = mkstemp(SettingsPath);
    if (SettingsFd < 0) fail("mkstemp");
    atexit(removeSettingsFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & BuiltForm) {
        checkBuiltFile(data + 1, size - 1);
    } else {
        writeSettingsFile(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
        checkRawFile();
    }
    return 0;
}
