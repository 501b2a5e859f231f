// Update keys compared the way the server compares them. The records of a
// window that goes as one upsert differ in their keys, so that no row of
// the upsert meets a row the same statement wrote. Two keys count as equal
// here whenever the server might find them equal; never the other way round.
#pragma once
#include <cstddef>

#include "import/member.h"

constexpr size_t RowKeyTextSize = MaxKeyFields * (2 + 8 * MaxFieldWidth);

// Reads the key columns' types and collations from the server, once per
// run, and builds a table of each collation's weights for the 256 single
// bytes. False when keys cannot be compared that way (a collation that
// weighs characters together, a column that is not text, a failed query):
// the member's windows then never go as one upsert.
bool prepareRowKeys(const ImportMember& member);

// The key of a row in comparison form into out: for each key column the
// weights of its characters, trailing blanks left out, each column led by
// its length. Returns the length.
size_t rowKeyText(const ImportMember& member, const RecordRow& row, char* out, size_t capacity);
