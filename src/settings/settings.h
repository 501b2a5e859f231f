// The database connection values from the settings file: a sequence of line
// pairs, the first line carrying a section field between its first and
// second ";", the second "number;key;value" with the value stored as hex text
// of its Blowfish ciphertext.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Relative to the working directory, in the Windows form the operators use.
constexpr char SettingsFilePath[] = "..\\..\\Files\\Corvantis.Ini";
constexpr char DatabaseName[] = "RURUVURO";

constexpr int SettingsFirstLineSize = 200;    // 198 characters, line feed, terminator
constexpr int SettingsSecondLineSize = 400;   // 398 characters, line feed, terminator
constexpr int SettingsFieldRoom = 200;        // section, key and value texts
constexpr int SettingsNumberRoom = 11;        // the number field's text
constexpr int ConnectionTextSize = 200;       // user name and password: 199 characters
constexpr int HostNameRoom = 41;
constexpr int DbSystemRoom = 40;

// The value of the last lookup, decrypted; empty when nothing matched.
extern char SettingValue[SettingsFieldRoom + 1];

// The values a connection is opened with, and the database system's name.
struct ConnectionValues {
    char user[ConnectionTextSize];
    char password[ConnectionTextSize];
    char host[HostNameRoom + 1];
    char dbSystem[DbSystemRoom + 1];
};

// Looks one value up: the first pair whose section field equals section, or
// whose key equals key, or whose number equals number, gives its decrypted
// value in SettingValue. fileName may be in Windows form. Returns
// SettingFound, SettingMissing, or the errno of a file that could not be
// opened (SettingValue is then empty).
constexpr int SettingFound = 0;
constexpr int SettingMissing = -1;
int readSetting(std::string_view section, std::string_view key, int32_t number, std::string_view fileName);

// The number field's text as a decimal integer: leading white space
// skipped, optional sign, digits up to the first other character; no digits
// give 0, values beyond 32 bits are held at the nearest limit.
int32_t parseSettingNumber(const char* text);

// The host name from the "NET8" value: taken when 1 to HostNameRoom
// characters long, otherwise empty.
void takeHostName(const char* value, char* host, size_t hostSize);

// What the reading of the connection values found, for the operator.
constexpr int ConnectionKeyCount = 4;
extern const char* const ConnectionKeys[ConnectionKeyCount];   // "LOGIN", "PASS", "DB_SYSTEM", "NET8"
struct SettingsReport {
    int openError = 0;                           // errno when the file could not be opened
    bool found[ConnectionKeyCount] = {};         // a pair gave the key's value
    bool printable[ConnectionKeyCount] = {};     // the value decrypted to printable text
};

// Reads "LOGIN", "PASS", "DB_SYSTEM" (its first 40 characters) and "NET8"
// from fileName into values, and what it found into report. Nothing else:
// the caller connects.
void readConnectionValues(ConnectionValues& values, std::string_view fileName, SettingsReport& report);

// Overwrites secrets in a way the compiler cannot drop as a dead store.
void wipeBytes(void* bytes, size_t count);
