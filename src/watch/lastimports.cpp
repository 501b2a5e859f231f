#include "watch/lastimports.h"

#include <cstdio>
#include <vector>

#include "common/hex.h"
#include "common/strutil.h"
#include "watch/durable.h"

namespace {

constexpr size_t MaxNoteBytes = 64 * 1024;
constexpr const char* NoneWord = "-";
constexpr long long MaxNumber = 9000000000000000000LL;

// A number of the note, -1 when it says none.
long long numberOf(const std::string& word) {
    long value = -1;
    if (!parseWholeNumber(word, 0, MaxNumber, value)) return -1;
    return value;
}

// One line: "TYPE WHOLE-STAMP SEQUENCE MODIFIED NAME-HEX", "-" for none;
// a line of an older watcher has "TYPE WHOLE-STAMP" alone.
void readLine(const std::string& line, std::map<std::string, LastImport>& notes) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= line.size()) {
        const size_t blank = line.find(' ', at);
        words.push_back(line.substr(at, blank == std::string::npos ? std::string::npos : blank - at));
        if (blank == std::string::npos) break;
        at = blank + 1;
    }
    if (words.size() != 2 && words.size() != 5) return;
    LastImport& note = notes[words[0]];
    note.wholeStamp = words[1] == NoneWord ? "" : words[1];
    if (words.size() == 2) return;
    note.sequence = numberOf(words[2]);
    note.modified = numberOf(words[3]);
    if (words[4] == NoneWord || !bytesOfHex(words[4], note.name)) note.name.clear();
}

std::string wordOf(long long number) {
    return number < 0 ? NoneWord : std::to_string(number);
}

std::string noteText(const std::map<std::string, LastImport>& notes) {
    std::string text;
    for (const auto& [type, note] : notes) {
        text += type + " " + (note.wholeStamp.empty() ? NoneWord : note.wholeStamp) + " " + wordOf(note.sequence) +
                " " + wordOf(note.modified) + " " + (note.name.empty() ? NoneWord : hexOf(note.name)) + "\n";
    }
    return text;
}

}  // namespace

void readLastImportNotes(int staging, std::map<std::string, LastImport>& notes) {
    std::string text;
    if (!readSmallFile(staging, LastImportsName, MaxNoteBytes, text)) return;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        readLine(text.substr(at, end == std::string::npos ? std::string::npos : end - at), notes);
        if (end == std::string::npos) break;
        at = end + 1;
    }
}

bool noteLastImport(int staging, const RunRecord& record) {
    std::map<std::string, LastImport> notes;
    readLastImportNotes(staging, notes);
    LastImport& note = notes[record.rule.typeCode];
    bool changed = false;
    if (record.archived && note.wholeStamp < record.stamp) {
        note.wholeStamp = record.stamp;
        changed = true;
    }
    if (record.sequence >= 0 && record.sequence > note.sequence) {
        note.sequence = record.sequence;
        note.modified = record.deliveredModified;
        note.name = record.name;
        changed = true;
    }
    return !changed || writeFileDurably(staging, LastImportsName, noteText(notes));
}
