#include "watch/runrecord.h"

#include <cerrno>
#include <exception>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/hex.h"
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

void takeRule(const Json& json, FileRule& rule) {
    rule.pattern = json.at("pattern").get<std::string>();
    rule.typeCode = json.at("type").get<std::string>();
    rule.matchCase = json.at("match_case").get<bool>();
    rule.update = json.at("update").get<bool>();
    rule.debug = json.at("debug").get<bool>();
    rule.utf8 = json.at("utf8").get<bool>();
    rule.allowEmpty = json.at("allow_empty").get<bool>();
    rule.maxWrongLength = json.at("max_wrong_length").get<long>();
    rule.maxFailedRecords = json.at("max_failed_records").get<long>();
    rule.marker = json.at("marker").get<std::string>();
    rule.markerWait = json.at("marker_wait").get<long>();
    // A record written before the deletion guard has no limits: its run
    // goes on guarded by the defaults.
    rule.maxDeletes = json.value("max_deletes", DefaultMaxDeletes);
    rule.maxDeleteShare = json.value("max_delete_share", DefaultMaxDeleteShare);
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
                 {"deletes_accepted", record.deletesAccepted}};
    if (record.step == Step::Filing) {
        json["to"] = record.archived ? "archive" : "failed";
        json["outcome"] = record.outcome;
        json["reason"] = record.reason;
        json["held"] = record.held;
    }
    return writeFileDurably(runFolder, RunRecordName,
                            json.dump(JsonIndent, ' ', false, Json::error_handler_t::replace) + "\n");
}

bool readRunRecord(int runFolder, RunRecord& record) {
    std::string text;
    if (!readSmallFile(runFolder, RunRecordName, MaxRecordBytes, text)) return false;
    try {
        const Json json = Json::parse(text, nullptr, false);
        if (!json.is_object() || !bytesOfHex(json.at("name_hex").get<std::string>(), record.name)) return false;
        if (!stepOf(json.at("step").get<std::string>(), record.step)) return false;
        record.id = json.at("id").get<std::string>();
        record.drop = json.at("drop").get<std::string>();
        record.stamp = json.at("taken").get<std::string>();
        takeRule(json.at("section"), record.rule);
        record.attempt = json.at("attempt").get<int>();
        record.journal = json.at("journal").get<std::string>();
        record.sha256 = json.at("sha256").get<std::string>();
        record.checkedSize = json.at("checked_size").get<long long>();
        record.checkedModified = json.at("checked_mtime_ns").get<long long>();
        record.dropDevice = static_cast<dev_t>(json.at("drop_device").get<unsigned long long>());
        record.dropInode = static_cast<ino_t>(json.at("drop_inode").get<unsigned long long>());
        if (!bytesOfHex(json.at("marker_hex").get<std::string>(), record.marker)) return false;
        record.markerDevice = static_cast<dev_t>(json.at("marker_device").get<unsigned long long>());
        record.markerInode = static_cast<ino_t>(json.at("marker_inode").get<unsigned long long>());
        record.deletesAccepted = json.value("deletes_accepted", false);
        if (record.step == Step::Filing) {
            record.archived = json.at("to").get<std::string>() == "archive";
            record.outcome = json.at("outcome").get<std::string>();
            record.reason = json.at("reason").get<std::string>();
            record.held = json.value("held", false);
        }
    } catch (const std::exception&) {
        return false;
    }
    return !record.name.empty();
}
