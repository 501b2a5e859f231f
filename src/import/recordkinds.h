// The record kinds of the type codes and the length of each one's record
// line: what a program needs that judges a file of a type code without
// importing it (the watcher's checks, the sample files), apart from the
// members that import them.
#pragma once
#include <cstdint>
#include <cstring>

#include "common/textfile.h"

// The longest line a reader of records needs room for.
constexpr int RecordBufferSize = 500;

// Expected length of one record line per record kind, the line end counted
// as one character.
enum RecordKind {
    Record20P, Record35P, Record41P, RecordMND, RecordIDN,
    RecordSLDShort, RecordSLDLong, RecordKST, RecordBKL,
    RecordFTG, RecordMST, RecordMDT, RecordFCD, RecordKindCount
};
constexpr int32_t RecordLengthTable[RecordKindCount] = {
    272,  // 20P
    282,  // 35P
    278,  // 41P
    130,  // MND
    364,  // IDN
    427,  // SLD, short form
    432,  // SLD, long form
    135,  // KST
    67,   // BKL
    299,  // FTG
    203,  // MST
    102,  // MDT
    65,   // FCD
};

// The type codes and the record kind of each, for code that judges a file
// of a type code without importing it. SLD's entry is its long form; the
// file's first line decides (balanceFormOf).
struct TypeCodeKind {
    const char* typeCode;
    RecordKind kind;
};
constexpr TypeCodeKind TypeCodeKinds[] = {
    {"20P", Record20P}, {"35P", Record35P}, {"41P", Record41P}, {"MND", RecordMND},
    {"IDN", RecordIDN}, {"SLD", RecordSLDLong}, {"KST", RecordKST}, {"BKL", RecordBKL},
    {"FTG", RecordFTG}, {"MST", RecordMST}, {"MDT", RecordMDT}, {"FCD", RecordFCD},
};

constexpr bool sameText(const char* a, const char* b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// The record kind of an upper-case type code; RecordKindCount for none.
constexpr RecordKind recordKindOf(const char* typeCode) {
    for (const TypeCodeKind& entry : TypeCodeKinds) {
        if (sameText(entry.typeCode, typeCode)) return entry.kind;
    }
    return RecordKindCount;
}

// SLD comes in two record forms. The first line decides for the whole file:
// read with the long form's length, a line of that length (or an empty
// file) means the long form, anything else the short form. The file is
// positioned at its start again; line needs room for the long form's
// length and a terminator.
inline RecordKind balanceFormOf(TextFile& file, char* line) {
    const int32_t longLength = RecordLengthTable[RecordSLDLong];
    RecordKind kind = RecordSLDLong;
    if (readTextLine(line, longLength + 1, file) != nullptr && static_cast<int32_t>(strlen(line)) != longLength) {
        kind = RecordSLDShort;
    }
    rewindTextFile(file);
    return kind;
}
