#include "import/plaindates.h"

namespace {

// The expression as the members write it, around the quoted digits. The
// quote that opens a literal stands right after "NULLIF(" only outside a
// literal: inside one, a quote is escaped (\' or '').
constexpr std::string_view Head = "DATE_FORMAT(NULLIF('";
constexpr std::string_view Middle = "', ''), '";
constexpr std::string_view Tail = "')";

// The formats whose output is the date's digits, with the digits they take.
struct DigitFormat {
    std::string_view format;
    size_t digits;
};
constexpr DigitFormat Formats[] = {{"%Y%m%d", 8}, {"%Y%m%d%H%i%s", 14}};

// The number in text[at, at + count), all digits.
int number(std::string_view text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// Days of a month in the Gregorian calendar, as the server counts them.
int daysIn(int year, int month) {
    constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : Days[month - 1];
}

// Digits that the server reads as a valid date (YYYYMMDD, a year from 1000)
// and, with 14, a valid time of day (HHMMSS): its DATE_FORMAT with the
// matching format gives them back unchanged.
bool isPlainDate(std::string_view digits) {
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    const int year = number(digits, 0, 4);
    const int month = number(digits, 4, 2);
    if (year < 1000 || month < 1 || month > 12) return false;
    const int day = number(digits, 6, 2);
    if (day < 1 || day > daysIn(year, month)) return false;
    if (digits.size() == 8) return true;
    return number(digits, 8, 2) <= 23 && number(digits, 10, 2) <= 59 && number(digits, 12, 2) <= 59;
}

// Whether text at `at` holds the whole expression; its parts into found.
bool matchesAt(std::string_view text, size_t at, PlainDate& found) {
    size_t cursor = at + Head.size();
    const size_t close = text.find('\'', cursor);
    if (close == std::string_view::npos) return false;
    const std::string_view digits = text.substr(cursor, close - cursor);
    cursor = close;
    if (text.substr(cursor, Middle.size()) != Middle) return false;
    cursor += Middle.size();
    for (const DigitFormat& format : Formats) {
        if (text.substr(cursor, format.format.size()) != format.format) continue;
        const size_t end = cursor + format.format.size();
        if (text.substr(end, Tail.size()) != Tail) continue;
        if (!digits.empty() && (digits.size() != format.digits || !isPlainDate(digits))) return false;
        found = {at, end + Tail.size() - at, digits};
        return true;
    }
    return false;
}

}  // namespace

bool findPlainDate(std::string_view text, size_t from, PlainDate& found) {
    for (size_t at = text.find(Head, from); at != std::string_view::npos; at = text.find(Head, at + 1)) {
        if (matchesAt(text, at, found)) return true;
    }
    return false;
}
