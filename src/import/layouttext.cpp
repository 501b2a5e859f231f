#include "import/layouttext.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t LineWidth = 72;
constexpr size_t LineRoom = 160;

// Appends "label text" with the text wrapped at word boundaries, the lines
// after the first indented to the text's start.
void appendWrapped(std::string& out, const char* label, const char* text) {
    const size_t indent = strlen(label);
    std::string line = label;
    const char* word = text;
    while (*word != '\0') {
        const char* end = strchr(word, ' ');
        size_t length = end != nullptr ? static_cast<size_t>(end - word) : strlen(word);
        if (line.size() > indent && line.size() + 1 + length > LineWidth) {
            out += line + "\n";
            line.assign(indent, ' ');
        } else if (line.size() > indent) {
            line += ' ';
        }
        line.append(word, length);
        word += length;
        while (*word == ' ') ++word;
    }
    out += line + "\n";
}

// The member's tables: the one of its inserts and updates, then the others.
std::string tableList(const ImportMember& member) {
    std::string tables = member.table;
    for (int i = 0; i < member.otherTableCount; ++i) tables += std::string(", ") + member.otherTables[i];
    return tables;
}

void appendField(std::string& out, int number, const FieldSpec& field) {
    char line[LineRoom];
    snprintf(line, sizeof line, "%5d %5d %5d %6d  %-7s  %s\n", number, field.offset + 1, field.offset + field.width,
             field.width, field.trimmed ? "yes" : "no", field.column);
    out += line;
}

}  // namespace

std::string layoutText(const ImportMember& member) {
    std::string out;
    char line[LineRoom];
    snprintf(line, sizeof line, "type code %s, tables %s\n", member.typeCode, tableList(member).c_str());
    out += line;
    snprintf(line, sizeof line, "record length %d, the line end counted as one character\n",
             RecordLengthTable[member.longestKind]);
    out += line;
    appendWrapped(out, "written:  ", member.writing);
    appendWrapped(out, "with UPD: ", member.withUpdate);
    out += "\nfield  from    to  width  trimmed  column\n";
    for (int i = 0; i < member.fieldCount; ++i) appendField(out, i + 1, member.layout[i]);
    return out;
}
