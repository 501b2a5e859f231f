// A date in a member's insert text that the server would give back as it
// stands. The set path's upsert carries every record's VALUES tuple, and
// the server parses each of them: a date the member writes as
// DATE_FORMAT(NULLIF('20180101', ''), '%Y%m%d') costs it a dozen tokens and
// three items where the plain literal '20180101' costs one. Where the text
// is a valid date (or time stamp) written in exactly the digits the format
// gives back, both give the server the same string, in the connection's
// character set, without a warning; an empty text gives NULL either way.
// Anything else (an invalid date, other digits, another format) is left as
// the member wrote it, and the server decides as before.
#pragma once
#include <cstddef>
#include <string_view>

// One such date expression in a text.
struct PlainDate {
    size_t at;               // where the expression starts
    size_t length;           // its length
    std::string_view value;  // the digits, empty for NULL
};

// The first such expression in text from `from` on; false when there is
// none.
bool findPlainDate(std::string_view text, size_t from, PlainDate& found);
