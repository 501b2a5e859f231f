#include "watch/runrecord.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "watch/jsonread.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/names.h"

namespace {

using Json = nlohmann::json;

constexpr const char* StepNames[] = {"taking", "taken", "checked", "started", "filing"};
constexpr size_t MaxRecordBytes = 64 * 1024;
constexpr int JsonIndent = 2;

Json ruleJson(const FileRule& rule) {
    return {{"pattern", rule.pattern},     {"type", rule.typeCode},        {"match_case", rule.matchCase},
            {"update", rule.update},       {"debug", rule.debug},
            {"utf8", rule.utf8},           {"allow_empty", rule.allowEmpty},
            {"max_wrong_length", rule.maxWrongLength}, {"max_failed_records", rule.maxFailedRecords},
            {"max_deletes", rule.maxDeletes}, {"max_delete_share", rule.maxDeleteShare},
            {"marker", rule.marker},       {"marker_wait", rule.markerWait}};
}

bool stepOf(const std::string& name, Step& step) {
    for (size_t i = 0; i < sizeof StepNames / sizeof StepNames[0]; ++i) {
        if (name == StepNames[i]) {
            step = static_cast<Step>(i);
            return true;
        }
    }
    return false;
}

// The section the run was taken under. A record written before the
// deletion guard has no limits: its run goes on guarded by the defaults.
bool takeRule(const Json& json, FileRule& rule) {
    rule.maxDeletes = DefaultMaxDeletes;
    rule.maxDeleteShare = DefaultMaxDeleteShare;
    readNumber(json, "max_deletes", rule.maxDeletes);
    readNumber(json, "max_delete_share", rule.maxDeleteShare);
    return readText(json, "pattern", rule.pattern) && readText(json, "type", rule.typeCode) &&
           readFlag(json, "match_case", rule.matchCase) && readFlag(json, "update", rule.update) &&
           readFlag(json, "debug", rule.debug) && readFlag(json, "utf8", rule.utf8) &&
           readFlag(json, "allow_empty", rule.allowEmpty) && readNumber(json, "max_wrong_length", rule.maxWrongLength) &&
           readNumber(json, "max_failed_records", rule.maxFailedRecords) && readText(json, "marker", rule.marker) &&
           readNumber(json, "marker_wait", rule.markerWait);
}

// A name kept as hexadecimal pairs, back as its bytes.
bool readName(const Json& json, const char* key, std::string& name) {
    std::string hex;
    return readText(json, key, hex) && bytesOfHex(hex, name);
}

// The run's identity, its section and its step.
bool readRunFacts(const Json& json, RunRecord& record) {
    std::string step;
    record.sequence = -1;   // a record of an older watcher has neither
    record.deliveredModified = -1;
    readNumber(json, "sequence", record.sequence);
    readNumber(json, "delivered_mtime_ns", record.deliveredModified);
    const auto section = json.find("section");
    return readName(json, "name_hex", record.name) && readText(json, "step", step) && stepOf(step, record.step) &&
           readText(json, "id", record.id) && readText(json, "drop", record.drop) &&
           readText(json, "taken", record.stamp) && section != json.end() && section->is_object() &&
           takeRule(*section, record.rule) && readNumber(json, "attempt", record.attempt);
}

// What the checks and the take noted: the journal, the file, the drop
// entries.
bool readCheckedFacts(const Json& json, RunRecord& record) {
    record.deletesAccepted = false;
    readFlag(json, "deletes_accepted", record.deletesAccepted);
    record.deliveredSize = -1;   // a record of an older watcher has no digest for the receipt
    readText(json, "delivered_sha256", record.deliveredSha256);
    readNumber(json, "delivered_size", record.deliveredSize);
    return readText(json, "journal", record.journal) && readText(json, "sha256", record.sha256) &&
           readNumber(json, "checked_size", record.checkedSize) &&
           readNumber(json, "checked_mtime_ns", record.checkedModified) &&
           readNumber(json, "drop_device", record.dropDevice) && readNumber(json, "drop_inode", record.dropInode) &&
           readName(json, "marker_hex", record.marker) && readNumber(json, "marker_device", record.markerDevice) &&
           readNumber(json, "marker_inode", record.markerInode);
}

// Filing: the verdict.
bool readVerdict(const Json& json, RunRecord& record) {
    if (record.step != Step::Filing) return true;
    std::string to;
    record.held = false;
    record.refused = false;
    readFlag(json, "held", record.held);
    record.failedChecks = false;
    readFlag(json, "failed_checks", record.failedChecks);
    readFlag(json, "refused", record.refused);
    readText(json, "sender_reason", record.senderReason);
    if (!readText(json, "to", to) || !readText(json, "outcome", record.outcome)) return false;
    record.archived = to == "archive";
    return readText(json, "reason", record.reason);
}

}  // namespace

std::string newRunId() {
    unsigned char bytes[8] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t more = getrandom(bytes + got, sizeof bytes - got, 0);
        if (more < 0 && errno == EINTR) continue;
        if (more <= 0) break;
        got += static_cast<size_t>(more);
    }
    if (got < sizeof bytes) {
        const long mixed = static_cast<long>(getpid()) ^ static_cast<long>(wallClockNow());
        memcpy(bytes, &mixed, std::min(sizeof mixed, sizeof bytes));
    }
    return hexOf(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

const char* stepName(Step step) {
    return StepNames[static_cast<int>(step)];
}

bool writeRunRecord(int runFolder, const RunRecord& record) {
    Json json = {{"id", record.id},
                 {"drop", record.drop},
                 {"name", shownName(record.name)},
                 {"name_hex", hexOf(record.name)},
                 {"taken", record.stamp},
                 {"sequence", record.sequence},
                 {"delivered_mtime_ns", record.deliveredModified},
                 {"section", ruleJson(record.rule)},
                 {"step", stepName(record.step)},
                 {"attempt", record.attempt},
                 {"journal", record.journal},
                 {"sha256", record.sha256},
                 {"checked_size", record.checkedSize},
                 {"checked_mtime_ns", record.checkedModified},
                 {"drop_device", static_cast<unsigned long long>(record.dropDevice)},
                 {"drop_inode", static_cast<unsigned long long>(record.dropInode)},
                 {"marker_hex", hexOf(record.marker)},
                 {"marker_device", static_cast<unsigned long long>(record.markerDevice)},
                 {"marker_inode", static_cast<unsigned long long>(record.markerInode)},
                 {"deletes_accepted", record.deletesAccepted},
                 {"delivered_sha256", record.deliveredSha256},
                 {"delivered_size", record.deliveredSize}};
    if (record.step == Step::Filing) {
        json["to"] = record.archived ? "archive" : "failed";
        json["outcome"] = record.outcome;
        json["reason"] = record.reason;
        json["held"] = record.held;
        json["failed_checks"] = record.failedChecks;
        json["refused"] = record.refused;
        json["sender_reason"] = record.senderReason;
    }
    return writeFileDurably(runFolder, RunRecordName,
                            json.dump(JsonIndent, ' ', false, Json::error_handler_t::replace) + "\n");
}

bool readRunRecord(int runFolder, RunRecord& record) {
    std::string text;
    if (!readSmallFile(runFolder, RunRecordName, MaxRecordBytes, text)) return false;
    const Json json = Json::parse(text, nullptr, false);
    return json.is_object() && readRunFacts(json, record) && readCheckedFacts(json, record) &&
           readVerdict(json, record) && !record.name.empty();
}
