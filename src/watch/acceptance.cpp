#include "watch/acceptance.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/diag.h"
#include "common/hex.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/jsonread.h"
#include "watch/names.h"
#include "watch/runfolder.h"

namespace {

constexpr const char* AcceptancePrefix = ".accept-deletes-";
constexpr size_t MaxAcceptanceBytes = 4096;
constexpr int JsonIndent = 2;

std::string acceptanceName(const std::string& name) {
    return AcceptancePrefix + sha256Of(name);
}

// The SHA-256 the acceptance of this name lets through; empty when there
// is none, or it is not an acceptance of exactly this name.
std::string acceptedBytes(int staging, const std::string& name) {
    std::string text;
    if (!readSmallFile(staging, acceptanceName(name), MaxAcceptanceBytes, text)) return "";
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    std::string hex;
    std::string accepted;
    std::string sha256;
    if (!json.is_object() || !readText(json, "name_hex", hex) || !bytesOfHex(hex, accepted) || accepted != name ||
        !readText(json, "sha256", sha256)) {
        return "";
    }
    return sha256;
}

}  // namespace

bool writeAcceptance(int staging, const std::string& name, const std::string& sha256, const std::string& from) {
    const nlohmann::json json = {{"name_hex", hexOf(name)}, {"sha256", sha256}, {"held_run", from}};
    return writeFileDurably(staging, acceptanceName(name),
                            json.dump(JsonIndent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

bool acceptanceWaits(int staging, const std::string& name) {
    return faccessat(staging, acceptanceName(name).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

Acceptance takeAcceptance(int staging, const std::string& name, const std::string& sha256) {
    const std::string accepted = acceptedBytes(staging, name);
    if (unlinkat(staging, acceptanceName(name).c_str(), 0) != 0 || !syncFolder(staging)) return Acceptance::Failed;
    return !accepted.empty() && accepted == sha256 ? Acceptance::Taken : Acceptance::OtherBytes;
}

void takeDeletesAcceptance(Watcher& watcher, Job& job, const std::string& sha256) {
    if (job.record.deletesAccepted || !acceptanceWaits(watcher.stagingFd.get(), job.record.name)) return;
    const std::string shown = shownName(job.record.name);
    const char* type = job.record.rule.typeCode.c_str();
    const Acceptance taken = takeAcceptance(watcher.stagingFd.get(), job.record.name, sha256);
    if (taken == Acceptance::Failed) {
        diagnoseAt(Severity::Warning,
                   "%s %s: the acceptance of its deletions cannot be used up (%s): the deletion guard applies",
                   shown.c_str(), type, strerror(errno));
    } else if (taken == Acceptance::OtherBytes) {
        diagnoseAt(Severity::Warning,
                   "%s %s: the acceptance of deletions for a file of this name was for other bytes (this one has "
                   "SHA-256 %s): it is spent, and the deletion guard applies",
                   shown.c_str(), type, sha256.c_str());
    } else {
        job.record.deletesAccepted = true;
        diagnose("%s %s: its deletions were accepted (requeue --accept-deletes, SHA-256 %s): imported without the "
                 "deletion guard, once", shown.c_str(), type, sha256.c_str());
    }
}
