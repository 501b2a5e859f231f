// The senders' receipts. With receipts = PATH, each filed run answers its
// delivery with PATH/<delivered name>.<outcome>.json: the name, the
// SHA-256 and size of the file as delivered, its type code, the outcome,
// what was committed, the importer's counts and the reason, never a record
// (no output of another program is quoted). The outcome is one of four:
// imported (filed in archive/), held (the deletion guard held it), refused
// (the watcher would not import the file for what it is: it failed its
// checks or its marker, it was imported before, it is older than the last
// import of its type code, it changed after its checks) and failed
// (anything else in failed/). A receipt is written whole, mode 0640, in the
// receipts folder's group, so that the senders' group reads it; a
// redelivery with the same outcome replaces it.
#pragma once
#include <ctime>
#include <string>
#include <vector>

#include "watch/runrecord.h"
#include "watch/watcher.h"

constexpr const char* ImportedOutcome = "imported";
constexpr const char* HeldOutcome = "held";
constexpr const char* RefusedOutcome = "refused";
constexpr const char* FailedOutcome = "failed";

// The outcome a filed run's receipt names, from its record's verdict.
const char* receiptOutcome(const RunRecord& record);

// Writes the receipt of the job's run, filed as filedFolder, when the site
// keeps receipts. A receipt that cannot be written is named on standard
// error and changes nothing else: the run is filed.
void writeReceipt(const Job& job, const std::string& filedFolder);

// A receipt as retention needs it.
struct ReceiptEntry {
    std::string name;
    std::string outcome;
    std::string typeCode;
    time_t filed = -1;   // the time it was written, as it says
};

// The receipts in folder: the entries, not hidden, that read as receipts.
std::vector<ReceiptEntry> listReceipts(int folder);
