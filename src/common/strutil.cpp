#include "common/strutil.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace {

bool isTrailingWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
}  // namespace

// Fixed-width fields arrive padded with blanks; the stored value is the text
// without them. Leading blanks and a carriage return are data and stay.
char* trimRight(char* text) {
    size_t length = strlen(text);
    while (length > 0 && isTrailingWhiteSpace(text[length - 1])) length--;
    text[length] = '\0';
    return text;
}

// Type codes and options are compared in upper case. Only a to z change:
// bytes from 0x80 up (umlauts) stay as they are.
char* toUpperInPlace(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    return text;
}

// Copies length bytes from source[start] into target and terminates them; a
// length of 0 means the rest of the source. A negative length leaves target
// as it is. The copy is cut to what target can hold and never reads past the
// source's terminator.
void cutSubstring(const char* source, int32_t start, int32_t length, char* target, size_t targetSize) {
    if (targetSize == 0 || start < 0) return;
    size_t sourceLength = strlen(source);
    if (length == 0) length = static_cast<int32_t>(sourceLength) - start + 1;
    if (length < 0) return;
    size_t available = static_cast<size_t>(start) <= sourceLength ? sourceLength - start : 0;
    size_t count = static_cast<size_t>(length);
    if (count > available) count = available;
    if (count > targetSize - 1) count = targetSize - 1;
    memcpy(target, source + (count > 0 ? start : 0), count);
    target[count] = '\0';
}

// Position of the n-th occurrence of c; with fewer occurrences the position
// of the last one; -1 when there is none.
int32_t findNthChar(const char* text, char c, int32_t n) {
    int32_t found = 0;
    int32_t latest = -1;
    for (int32_t i = 0; text[i] != '\0'; ++i) {
        if (text[i] != c) continue;
        latest = i;
        if (++found >= n) return i;
    }
    return latest;
}

std::string_view trimmedText(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// strtol wants a terminated text; a number has at most 20 digits and a sign.
bool parseWholeNumber(std::string_view text, long low, long high, long& number) {
    char digits[24];
    if (text.empty() || text.size() >= sizeof digits) return false;
    text.copy(digits, text.size());
    digits[text.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const long value = strtol(digits, &end, 10);
    if (*end != '\0' || errno != 0 || value < low || value > high || isspace(static_cast<unsigned char>(digits[0]))) {
        return false;
    }
    number = value;
    return true;
}
