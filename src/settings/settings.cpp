#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/strutil.h"
#include "common/paths.h"
#include "common/textfile.h"
#include "settings/cipher.h"

char SettingValue[SettingsFieldRoom + 1] = {0};

namespace {

constexpr char FieldSeparator = ';';
constexpr char LineFeed = '\n';

// The fields of one line pair; every field is set anew for each pair, so a
// pair that does not match leaves nothing behind for the next.
struct SettingsPair {
    char section[SettingsFieldRoom + 1];
    char numberText[SettingsNumberRoom + 1];
    char key[SettingsFieldRoom + 1];
    char value[SettingsFieldRoom + 1];
    int32_t number;
};

// Copies text into target, cut to what target holds; never reads past the
// source's terminator.
void copyText(char* target, size_t targetSize, const char* source) {
    if (targetSize == 0) return;
    size_t length = strnlen(source, targetSize - 1);
    memcpy(target, source, length);
    target[length] = '\0';
}

// Position of the line feed that ends the line, or the length of a last
// line that has none.
int32_t lineTextEnd(const char* line) {
    const char* lineFeed = strchr(line, LineFeed);
    return static_cast<int32_t>(lineFeed != nullptr ? lineFeed - line : strlen(line));
}

// The field line[start, end) cut to room characters. An empty range gives an
// empty text (cutSubstring would read length 0 as "to the end").
void cutField(const char* line, int32_t start, int32_t end, char* target, int32_t room) {
    int32_t length = end - start;
    if (length > room) length = room;
    if (length <= 0) {
        target[0] = '\0';
        return;
    }
    cutSubstring(line, start, length, target, static_cast<size_t>(room) + 1);
}

// The section field: the text between the first and the second ";" of the
// first line; empty when the line has fewer than two.
void splitFirstLine(const char* line, SettingsPair& pair) {
    int32_t first = findNthChar(line, FieldSeparator, 1);
    int32_t second = findNthChar(line, FieldSeparator, 2);
    if (first < 0 || second == first) {
        pair.section[0] = '\0';
        return;
    }
    cutField(line, first + 1, second, pair.section, SettingsFieldRoom);
}

// number;key;value from the second line. A missing separator ends the field
// before it at the line end and leaves the fields after it empty; the value
// runs to the line feed or, on a last line without one, to the end and may
// contain ";" itself.
void splitSecondLine(const char* line, SettingsPair& pair) {
    int32_t end = lineTextEnd(line);
    int32_t first = findNthChar(line, FieldSeparator, 1);
    int32_t second = findNthChar(line, FieldSeparator, 2);
    bool hasFirst = first >= 0;
    bool hasSecond = hasFirst && second != first;
    cutField(line, 0, hasFirst ? first : end, pair.numberText, SettingsNumberRoom);
    pair.number = parseSettingNumber(pair.numberText);
    if (hasFirst) {
        cutField(line, first + 1, hasSecond ? second : end, pair.key, SettingsFieldRoom);
    } else {
        pair.key[0] = '\0';
    }
    if (hasSecond) {
        cutField(line, second + 1, end, pair.value, SettingsFieldRoom);
    } else {
        pair.value[0] = '\0';
    }
}

// A pair is taken when any one of section, key or number agrees.
bool pairMatches(const SettingsPair& pair, std::string_view section, std::string_view key, int32_t number) {
    return section == pair.section || key == pair.key || number == pair.number;
}

}  // namespace

void wipeBytes(void* bytes, size_t count) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(bytes);
    for (size_t i = 0; i < count; ++i) p[i] = 0;
}

// The settings numbers are read the way the files have always been read:
// as much of a decimal integer as the text begins with.
int32_t parseSettingNumber(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// One lookup: pairs are read until the first that matches; its value is
// decrypted into SettingValue. A file that cannot be opened, no match, or a
// last line without a partner leave SettingValue empty. The lines and fields
// read hold ciphertext of secrets: they are wiped before returning.
int readSetting(std::string_view section, std::string_view key, int32_t number, std::string_view fileName) {
    SettingValue[0] = '\0';
    TextFile file;
    if (!openTextFile(file, nativePath(fileName).c_str())) return errno != 0 ? errno : ENOENT;
    int result = SettingMissing;
    char firstLine[SettingsFirstLineSize];
    char secondLine[SettingsSecondLineSize];
    SettingsPair pair;
    while (readTextLine(firstLine, sizeof firstLine, file) != nullptr &&
           readTextLine(secondLine, sizeof secondLine, file) != nullptr) {
        splitFirstLine(firstLine, pair);
        splitSecondLine(secondLine, pair);
        if (pairMatches(pair, section, key, number)) {
            decryptHexText(pair.value, SettingValue, sizeof SettingValue, SettingsCipherKey);
            result = SettingFound;
            break;
        }
    }
    wipeBytes(firstLine, sizeof firstLine);
    wipeBytes(secondLine, sizeof secondLine);
    wipeBytes(&pair, sizeof pair);
    wipeReadBuffer(file);
    return result;
}

// "NET8" is only a usable host name within the room the connection keeps
// for it; anything else connects without a host name.
void takeHostName(const char* value, char* host, size_t hostSize) {
    size_t length = strnlen(value, HostNameRoom + 1);
    if (length >= 1 && length <= HostNameRoom && length < hostSize) {
        copyText(host, hostSize, value);
    } else if (hostSize > 0) {
        host[0] = '\0';
    }
}

const char* const ConnectionKeys[ConnectionKeyCount] = {"LOGIN", "PASS", "DB_SYSTEM", "NET8"};

namespace {

// A decrypted value is text the operator typed: a control character in it
// means the value was not encrypted with the program's key, or is damaged.
bool isPrintable(const char* value) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != '\0'; ++p) {
        if (*p < 0x20 || *p == 0x7F) return false;
    }
    return true;
}

// One of the four lookups, with what it found.
void lookUp(int index, std::string_view fileName, SettingsReport& report) {
    int result = readSetting("", ConnectionKeys[index], 0, fileName);
    if (result > 0) report.openError = result;
    report.found[index] = result == SettingFound;
    report.printable[index] = isPrintable(SettingValue);
}

}  // namespace

// The four lookups, each opening the file anew, always with the empty
// section and number 0 so that the keys decide. A "DB_SYSTEM" value longer
// than its room keeps its first 40 characters. The decrypted value is wiped
// once it has been copied.
void readConnectionValues(ConnectionValues& values, std::string_view fileName, SettingsReport& report) {
    memset(&values, 0, sizeof values);
    report = SettingsReport();
    lookUp(0, fileName, report);
    copyText(values.user, sizeof values.user, SettingValue);
    lookUp(1, fileName, report);
    copyText(values.password, sizeof values.password, SettingValue);
    lookUp(2, fileName, report);
    copyText(values.dbSystem, sizeof values.dbSystem, SettingValue);
    lookUp(3, fileName, report);
    takeHostName(SettingValue, values.host, sizeof values.host);
    wipeBytes(SettingValue, sizeof SettingValue);
}
