#include "watch/filing.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "common/charset.h"
#include "common/fileio.h"
#include "watch/crashpoint.h"
#include "watch/durable.h"

namespace {

constexpr int MaxFolderNumber = 1000;
constexpr size_t ConversionPiece = 64 * 1024;
constexpr std::string_view OutputEnding = ".cp1252";
constexpr const char* ConvertedEnding = ".txt";
constexpr const char* PartialPrefix = ".kelvora-partial-";
constexpr const char* FiledPrefix = ".filed-";   // a staging folder whose copy is filed: it only goes

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string candidateName(const std::string& folderName, int number) {
    return number == 1 ? folderName : folderName + "-" + std::to_string(number);
}

// Converts what in holds into out, piece by piece.
bool convertInto(int in, int out) {
    CharsetConversion conversion;
    if (!openConversion(conversion, Windows1252, Utf8, Unconvertible::Replace)) return false;
    static unsigned char piece[ConversionPiece];
    std::string converted;
    for (;;) {
        ssize_t got = read(in, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        converted.clear();
        if (got == 0) return finishConversion(conversion, converted) && writeAll(out, converted.data(), converted.size());
        convertPiece(conversion, piece, static_cast<size_t>(got), converted);
        if (!writeAll(out, converted.data(), converted.size())) return false;
    }
}

// One output file as UTF-8 beside it; the Windows-1252 one goes.
bool convertOutput(int folder, const std::string& name) {
    int in = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    const std::string target = name.substr(0, name.size() - OutputEnding.size()) + ConvertedEnding;
    std::string temporary;
    int out = createTemporary(folder, target, temporary);
    const bool converted = out >= 0 && finishTemporary(out, convertInto(in, out), folder, temporary, target);
    const int error = errno;
    close(in);
    errno = error;
    return converted && unlinkat(folder, name.c_str(), 0) == 0;
}

// Across file systems: a hidden copy, flushed, renamed into place; then
// the staging copy goes.
bool copyRunFolder(int staging, const std::string& folderName, const std::string& runId, int base,
                   std::string& filedName) {
    const std::string partial = PartialPrefix + runId;
    if (!removeTree(base, partial) || !copyTree(staging, folderName, base, partial)) return false;
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        if (renameNoReplace(base, partial, base, filedName)) {
            if (!syncFolder(base)) return false;
            crashPoint("moved");
            return removeStagingCopy(staging, folderName, runId);
        }
        if (errno != EEXIST) break;
    }
    const int error = errno;
    removeTree(base, partial);
    errno = error;
    return false;
}

}  // namespace

bool removeStagingCopy(int staging, const std::string& folderName, const std::string& runId) {
    const std::string filed = FiledPrefix + runId;
    return renameat(staging, folderName.c_str(), staging, filed.c_str()) == 0 && syncFolder(staging) &&
           removeTree(staging, filed) && syncFolder(staging);
}

std::string utcStamp(time_t time) {
    struct tm utc {};
    gmtime_r(&time, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool completeRunFolder(int runFolder, const std::string& reason) {
    if (!reason.empty() && !writeFileDurably(runFolder, ReasonFileName, reason + "\n")) return false;
    std::vector<std::string> names;
    if (!listFolder(runFolder, names)) return false;
    for (const std::string& name : names) {
        if (endsWith(name, OutputEnding) && !convertOutput(runFolder, name)) return false;
    }
    return syncFolder(runFolder);
}

bool moveRunFolder(int staging, const std::string& folderName, const std::string& runId, int base,
                   std::string& filedName) {
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        if (renameNoReplace(staging, folderName, base, filedName)) {
            crashPoint("moved");
            return syncFolder(base) && syncFolder(staging);
        }
        if (errno == EXDEV) return copyRunFolder(staging, folderName, runId, base, filedName);
        if (errno != EEXIST) return false;
    }
    return false;
}

bool findFiledCopy(int base, const std::string& folderName, const RunRecord& record, std::string& filedName) {
    for (int number = 1; number <= MaxFolderNumber; ++number) {
        filedName = candidateName(folderName, number);
        int folder = openFolder(base, filedName);
        if (folder < 0) return false;
        RunRecord filed;
        const bool same = readRunRecord(folder, filed) && !record.id.empty() && filed.id == record.id &&
                          filed.step == Step::Filing;
        close(folder);
        if (same) return true;
    }
    return false;
}

void removeFiledLeftovers(int staging) {
    std::vector<std::string> names;
    if (!listFolder(staging, names)) return;
    for (const std::string& name : names) {
        if (name.compare(0, strlen(FiledPrefix), FiledPrefix) == 0) removeTree(staging, name);
    }
    syncFolder(staging);
}
