#include "import/recordcut.h"

#include <cstring>

#include "common/strutil.h"

void cutRecordFields(const ImportMember& member, const char* line, int32_t recordLength, RecordRow& row) {
    for (int i = 0; i < member.fieldCount; ++i) {
        const FieldSpec& place = member.layout[i];
        char* target = row[place.target];
        memset(target, 0, static_cast<size_t>(place.width) + 1);
        if (place.offset + place.width > recordLength - 1) continue;
        memcpy(target, line + place.offset, static_cast<size_t>(place.width));
        target[strnlen(target, static_cast<size_t>(place.width))] = '\0';
        if (place.trimmed) trimRight(target);
    }
}
