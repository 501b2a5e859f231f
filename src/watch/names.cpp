#include "watch/names.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "common/paths.h"

namespace {

// Run folders get "-2", "-3", ... after the name when it is taken twice in
// one second; the work file's ending may be longer than the delivered one.
constexpr size_t NumberRoom = 8;
constexpr size_t MaxFolderName = NAME_MAX - NumberRoom;
constexpr size_t HashTextSize = 17;   // 16 hexadecimal digits
constexpr size_t CutNameBytes = 160;
constexpr uint64_t FnvOffset = 14695981039346656037ull;
constexpr uint64_t FnvPrime = 1099511628211ull;
constexpr const char* ReceiptEnding = ".json";

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// FNV-1a over the whole name: only to tell long names apart, not secret.
std::string hashText(const std::string& name) {
    uint64_t hash = FnvOffset;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= FnvPrime;
    }
    char text[HashTextSize];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string withoutControls(const std::string& name) {
    std::string plain = name;
    for (char& c : plain) {
        if (isControl(static_cast<unsigned char>(c))) c = '_';
    }
    return plain;
}

// The first bytes of name and a hash of all of it.
std::string cutWithHash(const std::string& plain, const std::string& name) {
    return plain.substr(0, CutNameBytes) + "~" + hashText(name);
}

}  // namespace

std::string shownName(const std::string& name) {
    std::string shown;
    for (unsigned char c : name) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (isControl(c)) {
            char text[8];
            snprintf(text, sizeof text, "\\x%02x", c);
            shown += text;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string runFolderName(const std::string& stamp, const std::string& name) {
    const std::string plain = withoutControls(name);
    const std::string folder = stamp + "_" + plain;
    if (folder.size() <= MaxFolderName) return folder;
    return stamp + "_" + cutWithHash(plain, name);
}

std::string importName(const std::string& name) {
    const std::string plain = withoutControls(name);
    if (buildWorkPath(plain).size() <= MaxFolderName) return plain;
    return cutWithHash(plain, name);
}

std::string receiptName(const std::string& name, const std::string& outcome) {
    const std::string ending = "." + outcome + ReceiptEnding;
    const std::string plain = withoutControls(name);
    if (plain == name && plain.size() + ending.size() <= NAME_MAX) return plain + ending;
    return cutWithHash(plain, name) + ending;
}

bool isEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}
