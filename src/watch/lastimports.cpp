#include "watch/lastimports.h"

#include "watch/durable.h"

namespace {

constexpr size_t MaxNoteBytes = 4096;

}  // namespace

void readLastImportNotes(int staging, std::map<std::string, std::string>& stamps) {
    std::string text;
    if (!readSmallFile(staging, LastImportsName, MaxNoteBytes, text)) return;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) stamps[line.substr(0, blank)] = line.substr(blank + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
}

bool noteLastImport(int staging, const std::string& typeCode, const std::string& stamp) {
    std::map<std::string, std::string> stamps;
    readLastImportNotes(staging, stamps);
    if (stamps[typeCode] >= stamp) return true;
    stamps[typeCode] = stamp;
    std::string text;
    for (const auto& [type, taken] : stamps) text += type + " " + taken + "\n";
    return writeFileDurably(staging, LastImportsName, text);
}
