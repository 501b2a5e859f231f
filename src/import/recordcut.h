// Cutting a record's line into the fields of its member's layout. The
// windows cut each record they plan, and the failures read back from the
// work file are cut the same way for their keys.
#pragma once
#include <cstdint>

#include "import/member.h"

// The line of a record: cut into row, each field zeroed first and trimmed
// where the layout says so. A field that reaches into the line end is left
// empty: this is how the short form of a record is read.
void cutRecordFields(const ImportMember& member, const char* line, int32_t recordLength, RecordRow& row);
