#include "watch/receipt.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/diag.h"
#include "common/fd.h"
#include "common/fileio.h"
#include "common/hex.h"
#include "common/strutil.h"
#include "watch/clocks.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/folder.h"
#include "watch/importer.h"
#include "watch/jsonread.h"
#include "watch/names.h"
#include "watch/runfolder.h"

namespace {

using Json = nlohmann::json;

constexpr size_t MaxReceiptBytes = 64 * 1024;
constexpr int JsonIndent = 2;
constexpr const char* ReceiptEnding = ".json";
constexpr const char* Outcomes[] = {ImportedOutcome, HeldOutcome, RefusedOutcome, FailedOutcome};

// The counts of the importer's report in the filed run folder; null when
// the importer left none (it never ran, or it was ended before it wrote
// one).
Json countsOf(const std::string& filedFolder) {
    RunOutcome run;
    if (!readReport(pathIn(filedFolder, ReportName), run)) return nullptr;
    return {{"lines", run.lines}, {"written", run.written}, {"failed", run.failed}, {"wrong_length", run.wrongLength}};
}

// The delivered file's SHA-256 and size as its checks took them; else
// read from the filed copy (a run that never reached its checks, or one a
// watcher without receipts took). False when neither can be had.
bool deliveredDigest(const Job& job, const std::string& filedFolder, FileDigest& digest) {
    if (!job.record.deliveredSha256.empty() && job.record.deliveredSize >= 0) {
        digest.sha256 = job.record.deliveredSha256;
        digest.bytes = job.record.deliveredSize;
        return true;
    }
    const char* folder = job.record.rule.utf8 ? DeliveredFolder : FileFolder;
    return digestFile(pathIn(pathIn(filedFolder, folder), importName(job.record.name)), digest);
}

// What the receipt says. The reason is the one meant for the sender: the
// watcher's own words, without another program's output.
Json receiptJson(const Job& job, const std::string& filedFolder, const char* outcome) {
    const RunRecord& record = job.record;
    Json json = {{"name", shownName(record.name)},  {"name_hex", hexOf(record.name)},
                 {"sha256", nullptr},               {"size", nullptr},
                 {"type", record.rule.typeCode},    {"outcome", outcome},
                 {"committed", record.outcome},     {"counts", countsOf(filedFolder)},
                 {"reason", record.senderReason},   {"run", record.id},
                 {"taken", record.stamp},           {"filed", utcStamp(wallClockNow())}};
    FileDigest digest;
    if (deliveredDigest(job, filedFolder, digest)) {
        json["sha256"] = digest.sha256;
        json["size"] = digest.bytes;
    }
    return json;
}

// Writes text as name in folder, whole: under a hidden temporary name,
// given the folder's group (the senders' group, which the watcher's user
// is a member of), flushed, renamed over name. False, with errno, when a
// step failed; no temporary file stays.
bool writeInFolderGroup(int folder, const std::string& name, const std::string& text) {
    struct stat info;
    if (fstat(folder, &info) != 0) return false;
    std::string temporary;
    const int fd = createTemporary(folder, name, temporary);
    if (fd < 0) return false;
    const bool written = fchown(fd, static_cast<uid_t>(-1), info.st_gid) == 0 && writeAll(fd, text.data(), text.size());
    return finishTemporary(fd, written, folder, temporary, name);
}

bool isOutcome(const std::string& word) {
    for (const char* outcome : Outcomes) {
        if (word == outcome) return true;
    }
    return false;
}

// One entry of the receipts folder, read as a receipt; false when it is
// none.
bool readReceipt(int folder, const std::string& name, ReceiptEntry& entry) {
    std::string text;
    if (name[0] == '.' || !endsWith(name, ReceiptEnding) || !readSmallFile(folder, name, MaxReceiptBytes, text)) {
        return false;
    }
    const Json json = Json::parse(text, nullptr, false);
    std::string filed;
    entry.name = name;
    const bool read = json.is_object() && readText(json, "outcome", entry.outcome) &&
                      readText(json, "type", entry.typeCode) && readText(json, "filed", filed);
    entry.filed = read ? stampTime(filed) : -1;
    return read && isOutcome(entry.outcome) && entry.filed >= 0;
}

}  // namespace

const char* receiptOutcome(const RunRecord& record) {
    if (record.archived) return ImportedOutcome;
    if (record.held) return HeldOutcome;
    if (record.refused) return RefusedOutcome;
    return FailedOutcome;
}

void writeReceipt(const Job& job, const std::string& filedFolder) {
    if (job.site.receipts.empty() || job.record.id.empty()) return;   // no record: no delivered name to answer
    const char* outcome = receiptOutcome(job.record);
    const std::string name = receiptName(job.record.name, outcome);
    const std::string text =
        receiptJson(job, filedFolder, outcome).dump(JsonIndent, ' ', false, Json::error_handler_t::replace) + "\n";
    UniqueFd folder(openFolder(AT_FDCWD, job.site.receipts));
    if (folder.valid() && writeInFolderGroup(folder.get(), name, text)) return;
    diagnoseAt(Severity::Warning, "%s %s: its receipt %s/%s cannot be written: %s; the run is filed all the same",
             shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), job.site.receipts.c_str(),
             shownName(name).c_str(), strerror(errno));
}

std::vector<ReceiptEntry> listReceipts(int folder) {
    std::vector<std::string> names;
    std::vector<ReceiptEntry> receipts;
    if (!listFolder(folder, names)) return receipts;
    for (const std::string& name : names) {
        ReceiptEntry entry;
        if (readReceipt(folder, name, entry)) receipts.push_back(entry);
    }
    return receipts;
}
