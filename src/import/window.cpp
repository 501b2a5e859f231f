#include "import/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/diag.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "db/connection.h"
#include "import/recordloop.h"
#include "import/report.h"
#include "import/rowkey.h"
#include "import/statement.h"
#include "import/textset.h"

namespace {

// Bounds of one window. The statements of a window travel as one query,
// which must stay far below the server's max_allowed_packet (4 MiB by
// default on older servers).
constexpr int MaxWindowEntries = MaxWindowRecords + 256;
constexpr int MaxSlots = MaxWindowRecords * MaxRecordSteps;
constexpr size_t WindowStatementBytes = 512 * 1024;
constexpr size_t ArenaSize = WindowStatementBytes + MaxRecordSteps * (StatementBufferSize + 1) + 16;
constexpr size_t LineArenaSize = MaxWindowEntries * static_cast<size_t>(RecordBufferSize / 2);
constexpr std::string_view InsertKeyword = "VALUES";
constexpr size_t ErrorTextArenaSize = 256 * 1024;

// One line of the window, queued until its output can be written.
struct Entry {
    long lineNumber;
    size_t lineOffset;       // in LineArena, NUL-terminated
    long actualLength;       // the whole line's length (for a wrong one)
    bool isRecord;
    bool isLoneNewline;      // neither record nor wrong line: only counted
    RecordPlan plan;
    int32_t result;
    bool resolved;           // result known
    bool needsInsert;        // its update changed no row
    bool noGroup;            // its insert failed in a multi-row INSERT
    int firstSlot;
    long errorText = -1;     // the server's text of its failure in errorTexts, or -1
};

// One statement of the phase being sent: its text in Arena, followed by
// ";". step is the plan's step, or -1 for the insert after an update.
// prefix is, for an insert that may join a multi-row INSERT, the length of
// its text up to and including VALUES (0 for every other statement).
struct Slot {
    int entry;
    int step;
    size_t offset;
    size_t length;
    size_t prefix;
};

// A statement as it travels: one slot, or the inserts of several slots
// folded into one multi-row INSERT.
struct Unit {
    int firstSlot;
    int lastSlot;
    bool group;
};

// How a result leaves the sending of a phase.
enum class After { Next, Regroup, Replan, Stopped };

struct WindowState {
    const ImportMember* member = nullptr;
    int32_t recordLength = 0;
    int records = 1;
    size_t byteLimit = WindowStatementBytes;
    bool multiStatements = false;
    bool skipKnownDuplicates = false;
    int multiRowInserts = -1;     // -1 not yet asked, 0 no, 1 yes
    int keysComparable = -1;      // -1 not yet asked, 0 no, 1 yes

    Entry entries[MaxWindowEntries];
    int entryCount = 0;
    int recordsQueued = 0;
    char lines[LineArenaSize];
    size_t linesUsed = 0;

    Slot slots[MaxSlots];
    int slotCount = 0;
    char arena[ArenaSize];
    size_t arenaUsed = 0;

    Unit units[MaxSlots];
    char query[ArenaSize];
    StatementResult results[MaxSlots];

    int stopEntry = -1;           // the record the run stopped at
    bool stopEntryShown = false;  // whether that record's own output is written
    long tooLongLine = 0;         // the line whose statement did not fit, or 0

    char errorTexts[ErrorTextArenaSize];
    size_t errorTextsUsed = 0;

    TextSet keys;                 // update keys of the records queued
    TextSet knownDuplicates;      // Sto/link texts refused as duplicates
    RecordRow row;
    char keyText[RowKeyTextSize];
};

WindowState W;

constexpr const char* WrongLengthMessage = "Datensatz mit falscher Satzlaenge!!";

const char* lineOf(const Entry& entry) {
    return W.lines + entry.lineOffset;
}

// ------------------------------------------------------------- planning

// Cuts the entry's line into W.row and lets the member plan it; the same
// line always gives the same row and plan.
void planEntry(Entry& entry) {
    cutRecordFields(*W.member, lineOf(entry), W.recordLength, W.row);
    entry.plan = RecordPlan();
    W.member->planRecord(W.row, entry.plan);
}

bool hasUpdate(const RecordPlan& plan) {
    for (int i = 0; i < plan.stepCount; ++i) {
        if (plan.steps[i].role == StepRole::Update) return true;
    }
    return false;
}

// The length of an insert's text up to and including VALUES: the part
// before it is fixed text of the member's format, the same for every record
// that the same builder formats. 0 when there is no VALUES.
size_t insertPrefixLength(std::string_view text) {
    size_t at = text.find(InsertKeyword);
    return at == std::string_view::npos ? 0 : at + InsertKeyword.size();
}

// Whether the statement of an entry's step (or of the insert after its
// update, step -1) may travel in a multi-row INSERT: plain inserts, and the
// inserts after updates that changed no row.
bool mayJoinMultiRowInsert(int entry, int step) {
    return W.multiRowInserts == 1 && (step < 0 || W.entries[entry].plan.steps[step].role == StepRole::Insert);
}

// Appends the statement in StatementBuffer as a slot of the phase.
void appendSlot(int entry, int step) {
    size_t length = strlen(StatementBuffer);
    Slot& slot = W.slots[W.slotCount++];
    std::string_view text(StatementBuffer, length);
    slot = {entry, step, W.arenaUsed, length, mayJoinMultiRowInsert(entry, step) ? insertPrefixLength(text) : 0};
    memcpy(W.arena + W.arenaUsed, StatementBuffer, length);
    W.arena[W.arenaUsed + length] = ';';
    W.arenaUsed += length + 1;
}

// The first-phase statements of an entry (everything but the inserts
// after updates), formatted into slots. A Sto or link row whose text was
// refused as a duplicate before in this run is a no-op with an ignored
// result, and is not sent again. False when a statement did not fit.
bool formatFirstPhase(int index) {
    Entry& entry = W.entries[index];
    entry.firstSlot = W.slotCount;
    for (int k = 0; k < entry.plan.stepCount; ++k) {
        const RecordStep& step = entry.plan.steps[k];
        if (!step.statement(W.row)) return false;
        if (step.role == StepRole::Ignored && W.skipKnownDuplicates &&
            textSetContains(W.knownDuplicates, StatementBuffer)) {
            continue;
        }
        appendSlot(index, k);
    }
    if (entry.plan.stepCount == 0) {
        entry.result = entry.plan.resultWithoutStatement;
        entry.resolved = true;
    }
    return true;
}

// ------------------------------------------------------------- composing

// A slot that may join a multi-row INSERT now: an insert with its prefix,
// whose record has not failed in one already.
bool isGroupable(const Slot& slot) {
    return slot.prefix > 0 && !W.entries[slot.entry].noGroup;
}

// The builder of a groupable slot's statement.
RowStatement insertBuilder(const Slot& slot) {
    const RecordPlan& plan = W.entries[slot.entry].plan;
    if (slot.step >= 0) return plan.steps[slot.step].statement;
    for (int k = 0; k < plan.stepCount; ++k) {
        if (plan.steps[k].role == StepRole::Update) return plan.steps[k].insert;
    }
    return nullptr;
}

// Whether slot b's insert can follow slot a's in one multi-row INSERT: the
// same builder, so the same fixed text before VALUES.
bool sameInsert(const Slot& a, const Slot& b) {
    return isGroupable(b) && insertBuilder(a) == insertBuilder(b) && b.prefix == a.prefix &&
           memcmp(W.arena + a.offset, W.arena + b.offset, a.prefix) == 0;
}

void appendQuery(size_t& used, const char* text, size_t length) {
    memcpy(W.query + used, text, length);
    used += length;
}

// The VALUES tuple of an insert, without the blanks around it.
std::string_view insertTuple(const Slot& slot) {
    std::string_view tuple(W.arena + slot.offset + slot.prefix, slot.length - slot.prefix);
    while (!tuple.empty() && tuple.front() == ' ') tuple.remove_prefix(1);
    while (!tuple.empty() && tuple.back() == ' ') tuple.remove_suffix(1);
    return tuple;
}

// One multi-row INSERT: the member's own column list and each record's
// VALUES tuple from its own statement.
void appendGroup(size_t& used, const Unit& unit) {
    const Slot& first = W.slots[unit.firstSlot];
    appendQuery(used, W.arena + first.offset, first.prefix);
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        std::string_view tuple = insertTuple(W.slots[s]);
        appendQuery(used, s == unit.firstSlot ? " " : ", ", s == unit.firstSlot ? 1 : 2);
        appendQuery(used, tuple.data(), tuple.size());
    }
}

// The units from cursor on, as one query; returns the number of units and
// sets text and length. One statement per query without multi-statements.
int composeQuery(int cursor, const char*& text, size_t& length) {
    int count = 0;
    bool anyGroup = false;
    int last = W.multiStatements ? W.slotCount - 1 : cursor;
    for (int s = cursor; s <= last;) {
        Unit unit = {s, s, false};
        while (isGroupable(W.slots[s]) && unit.lastSlot < last && sameInsert(W.slots[s], W.slots[unit.lastSlot + 1])) {
            unit.lastSlot++;
        }
        // A record alone travels in its own statement, as it stands.
        unit.group = unit.lastSlot > s;
        anyGroup = anyGroup || unit.group;
        W.units[count++] = unit;
        s = unit.lastSlot + 1;
    }
    const Slot& first = W.slots[cursor];
    if (!anyGroup) {
        // The slots' texts already stand one after another, ";" between.
        const Slot& end = W.slots[W.units[count - 1].lastSlot];
        text = W.arena + first.offset;
        length = end.offset + end.length - first.offset;
        return count;
    }
    size_t used = 0;
    for (int u = 0; u < count; ++u) {
        if (u > 0) appendQuery(used, ";", 1);
        const Unit& unit = W.units[u];
        if (unit.group) {
            appendGroup(used, unit);
        } else {
            appendQuery(used, W.arena + W.slots[unit.firstSlot].offset, W.slots[unit.firstSlot].length);
        }
    }
    text = W.query;
    length = used;
    return count;
}

// ------------------------------------------------------------- results

// Keeps the server's text of a record's failure for standard error, as long
// as there is room (the texts of a window's first failures are the ones
// that get listed).
void keepErrorText(Entry& entry) {
    const char* text = lastFailureText();
    size_t length = strlen(text);
    entry.errorText = -1;
    if (W.errorTextsUsed + length + 1 > sizeof W.errorTexts) return;
    memcpy(W.errorTexts + W.errorTextsUsed, text, length + 1);
    entry.errorText = static_cast<long>(W.errorTextsUsed);
    W.errorTextsUsed += length + 1;
}

const char* errorTextOf(const Entry& entry) {
    return entry.errorText >= 0 ? W.errorTexts + entry.errorText : "";
}

void resolve(Entry& entry, int32_t result) {
    entry.result = result;
    entry.resolved = true;
    if (result != 0) keepErrorText(entry);
}

// The run stopped at this record: its own result and output are kept.
After stopAt(int index, int32_t code) {
    resolve(W.entries[index], code);
    W.stopEntry = index;
    W.stopEntryShown = true;
    return After::Stopped;
}

// A multi-row INSERT: all its records succeeded, or (in strict mode on
// InnoDB) none of its rows stayed, and its records go again one by one.
// A failure that ended the transaction is charged to its first record.
// The multi-row INSERT is only sent where a duplicate key inside it cannot
// be (the records of a window differ in their keys) or counts as a failure.
After applyGroupResult(const Unit& unit, const StatementResult& result) {
    if (result.code == ErrorLockWaitTimeout && transactionStillOpen()) {
        // The lock wait ended the statement, not the transaction: sent one
        // by one, the records show which of them waits, as one statement per
        // query would.
        for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) W.entries[W.slots[s].entry].noGroup = true;
        return After::Regroup;
    }
    checkedResult(result);
    const int firstEntry = W.slots[unit.firstSlot].entry;
    if (runStop() != RunStop::None) return stopAt(firstEntry, result.code);
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        Entry& entry = W.entries[W.slots[s].entry];
        if (result.code == 0) {
            resolve(entry, 0);
        } else {
            entry.noGroup = true;
        }
    }
    return result.code == 0 ? After::Next : After::Regroup;
}

// Plans and formats the entries from index on again, after the member has
// changed its statements (SLD without TswAmp).
After replanFrom(int index) {
    const int firstSlot = W.entries[index].firstSlot;
    if (firstSlot < W.slotCount) W.arenaUsed = W.slots[firstSlot].offset;
    W.slotCount = firstSlot;
    for (int i = index; i < W.entryCount; ++i) {
        Entry& entry = W.entries[i];
        if (!entry.isRecord) continue;
        entry.needsInsert = false;
        entry.noGroup = false;
        entry.resolved = false;
        planEntry(entry);
        if (!formatFirstPhase(i)) {
            stopForLongStatement();
            W.stopEntry = i;
            W.stopEntryShown = false;
            W.tooLongLine = entry.lineNumber;
            return After::Stopped;
        }
    }
    return After::Replan;
}

// Takes the Sto and link rows whose text has been refused as a duplicate
// out of the slots from first on: each of them would be refused again.
void dropKnownDuplicates(int first) {
    static int newIndex[MaxSlots + 1];
    int kept = first;
    size_t write = first < W.slotCount ? W.slots[first].offset : W.arenaUsed;
    for (int s = first; s < W.slotCount; ++s) {
        newIndex[s] = kept;
        Slot slot = W.slots[s];
        std::string_view text(W.arena + slot.offset, slot.length);
        if (slot.step >= 0 && W.entries[slot.entry].plan.steps[slot.step].role == StepRole::Ignored &&
            textSetContains(W.knownDuplicates, text)) {
            continue;
        }
        memmove(W.arena + write, W.arena + slot.offset, slot.length + 1);
        slot.offset = write;
        write += slot.length + 1;
        W.slots[kept++] = slot;
    }
    newIndex[W.slotCount] = kept;
    for (int i = 0; i < W.entryCount; ++i) {
        Entry& entry = W.entries[i];
        if (entry.isRecord && entry.firstSlot >= first) entry.firstSlot = newIndex[entry.firstSlot];
    }
    W.slotCount = kept;
    W.arenaUsed = write;
}

// Whether a record before index still waits for its insert.
bool insertsWaitBefore(int index) {
    for (int i = 0; i < index; ++i) {
        const Entry& entry = W.entries[i];
        if (entry.isRecord && entry.needsInsert && !entry.resolved) return true;
    }
    return false;
}

void sendInserts(int limit);

// A lock wait timeout in the first phase leaves the transaction open. One
// statement per query, the inserts of the records before this one would
// have run before it: they go now, and the run stops at the first of them
// that fails the same way, or at this record.
After insertsBeforeTheLockWait(int index, StatementResult result) {
    char text[512];
    snprintf(text, sizeof text, "%s", lastErrorText());
    sendInserts(index);
    if (runStop() != RunStop::None) return After::Stopped;
    checkedResult(result, text);
    return stopAt(index, result.code);
}

// One statement's result in the first phase.
After applyFirstPhaseResult(const Slot& slot, const StatementResult& result) {
    if (result.code == ErrorLockWaitTimeout && insertsWaitBefore(slot.entry) && transactionStillOpen()) {
        return insertsBeforeTheLockWait(slot.entry, result);
    }
    Entry& entry = W.entries[slot.entry];
    const RecordStep& step = entry.plan.steps[slot.step];
    checkedResult(result);
    if (runStop() != RunStop::None) return stopAt(slot.entry, result.code);
    switch (step.role) {
    case StepRole::Insert:
    case StepRole::Decides:
        if (result.code != 0 && W.member->replanAfter != nullptr && W.member->replanAfter(result.code)) {
            return replanFrom(slot.entry);
        }
        resolve(entry, result.code);
        break;
    case StepRole::Ignored:
        if (result.code == ErrorDuplicateKey && W.skipKnownDuplicates) {
            addToTextSet(W.knownDuplicates, std::string_view(W.arena + slot.offset, slot.length));
            dropKnownDuplicates(static_cast<int>(&slot - W.slots) + 1);
        }
        break;
    case StepRole::Update:
        if (result.code != 0) {
            resolve(entry, result.code);
        } else if (result.affected == 0) {
            entry.needsInsert = true;
        } else {
            resolve(entry, 0);
        }
        break;
    }
    return After::Next;
}

// The insert after an update that changed no row: a duplicate key means
// the row is there already, and the record counts as written.
After applyInsertResult(const Slot& slot, const StatementResult& result) {
    checkedResult(result);
    if (runStop() != RunStop::None) return stopAt(slot.entry, result.code);
    resolve(W.entries[slot.entry], result.code == ErrorDuplicateKey ? 0 : result.code);
    return After::Next;
}

After applyResult(const Unit& unit, const StatementResult& result) {
    if (unit.group) return applyGroupResult(unit, result);
    const Slot& slot = W.slots[unit.firstSlot];
    if (slot.step < 0) return applyInsertResult(slot, result);
    return applyFirstPhaseResult(slot, result);
}

// Sends the slots of a phase, query after query: a statement that fails
// ends its query's results, and the statements after it go again.
void sendSlots() {
    int cursor = 0;
    while (cursor < W.slotCount && runStop() == RunStop::None) {
        const char* text = nullptr;
        size_t length = 0;
        int units = composeQuery(cursor, text, length);
        int answered = runStatements(text, length, W.results, units);
        for (int u = 0; u < answered; ++u) {
            After after = applyResult(W.units[u], W.results[u]);
            if (after == After::Stopped) return;
            if (after == After::Regroup) {
                cursor = W.units[u].firstSlot;
                break;
            }
            if (after == After::Replan) {
                cursor = W.entries[W.slots[W.units[u].firstSlot].entry].firstSlot;
                break;
            }
            cursor = W.units[u].lastSlot + 1;
        }
    }
}

// The insert after the update of an entry, formatted into StatementBuffer;
// false when it does not fit.
bool formatInsertAfterUpdate(Entry& entry) {
    planEntry(entry);
    for (int k = 0; k < entry.plan.stepCount; ++k) {
        const RecordStep& step = entry.plan.steps[k];
        if (step.role == StepRole::Update) return step.insert(W.row);
    }
    return false;
}

// The inserts of the records before limit whose update changed no row, in
// record order, in as many queries as their bytes need. A statement that
// does not fit stops the run after the inserts before it.
void sendInserts(int limit) {
    W.slotCount = 0;
    W.arenaUsed = 0;
    for (int i = 0; i < limit && runStop() == RunStop::None; ++i) {
        Entry& entry = W.entries[i];
        if (!entry.isRecord || !entry.needsInsert || entry.resolved) continue;
        if (!formatInsertAfterUpdate(entry)) {
            sendSlots();
            if (runStop() != RunStop::None) return;
            stopForLongStatement();
            W.stopEntry = i;
            W.stopEntryShown = false;
            W.tooLongLine = entry.lineNumber;
            return;
        }
        if (W.arenaUsed + strlen(StatementBuffer) + 1 > W.byteLimit) {
            // The statement just formatted waits in StatementBuffer while the
            // ones before it go; sending formats nothing.
            sendSlots();
            W.slotCount = 0;
            W.arenaUsed = 0;
            if (runStop() != RunStop::None) return;
        }
        appendSlot(i, -1);
    }
    sendSlots();
}

// ------------------------------------------------------------- output

// Prints the member's failure line for a record whose statement failed.
void reportFailure(const Entry& entry) {
    const ImportMember& member = *W.member;
    if (member.failureOnlyInDebug && !DebugFlag) return;
    const char* message = member.failureMessage;
    if (UpdateMode && member.updateModeFailureMessage != nullptr) message = member.updateModeFailureMessage;
    if (member.failureField >= 0) {
        cutRecordFields(member, lineOf(entry), W.recordLength, W.row);
        printf(message, W.row[member.failureField], entry.result);
    } else {
        printf(message, entry.result);
    }
}

// The /D echo of a line read.
void echoLine(const char* line) {
    if (!DebugFlag) return;
    clearProgress();
    printf("%s\n", line);
}

void writeEntry(const Entry& entry, bool stopsTheRun) {
    Tally.lines++;
    if (entry.isLoneNewline) {
        Tally.loneNewlines++;
        return;
    }
    clearProgress();
    echoLine(lineOf(entry));
    if (!entry.isRecord) {
        fputs(WrongLengthMessage, stdout);
        reportWrongLength(entry.lineNumber, entry.actualLength, W.recordLength);
        return;
    }
    // A record before the one that stopped the run may have waited for its
    // insert, which was never sent: nothing of it is written.
    if (!entry.resolved) return;
    LastResultCode = entry.result;
    if (stopsTheRun) {
        reportTransactionEnded(entry.lineNumber, entry.result, errorTextOf(entry));
    } else if (entry.result == 0) {
        reportWritten();
    } else {
        reportFailedRecord(entry.lineNumber, entry.result, errorTextOf(entry));
    }
    if (!entry.plan.counts) return;
    if (entry.result == 0) {
        RecordCount++;
    } else {
        reportFailure(entry);
    }
}

void writeOutput() {
    int end = W.entryCount;
    if (W.stopEntry >= 0) end = W.stopEntry + (W.stopEntryShown ? 1 : 0);
    const bool transactionEnded = runStop() == RunStop::TransactionEnded;
    for (int i = 0; i < end; ++i) writeEntry(W.entries[i], transactionEnded && i == W.stopEntry);
    // A record whose statement did not fit has been echoed, as every line
    // read is, before the run ended; nothing else of it is written.
    if (W.stopEntry >= 0 && !W.stopEntryShown) {
        Tally.lines++;
        echoLine(lineOf(W.entries[W.stopEntry]));
    }
    if (W.tooLongLine > 0) reportStatementTooLong(W.tooLongLine);
    W.tooLongLine = 0;
}

void clearWindow() {
    W.entryCount = 0;
    W.recordsQueued = 0;
    W.linesUsed = 0;
    W.slotCount = 0;
    W.arenaUsed = 0;
    W.errorTextsUsed = 0;
    clearTextSet(W.keys);
}

// ------------------------------------------------------------- set-up

// The fast path: multi-row INSERTs. Only where a failing row keeps the
// whole statement from taking effect and is an error, as it is for a
// single row: on InnoDB in strict mode. Outside strict mode a bad value in
// a multi-row INSERT is a warning and a default.
bool multiRowInsertsAllowed(const ImportMember& member) {
    if (member.table == nullptr) return false;
    char mode[1024] = "";
    if (querySingleValue("SELECT @@SESSION.sql_mode", mode, sizeof mode) != 0) return false;
    if (strstr(mode, "STRICT_TRANS_TABLES") == nullptr && strstr(mode, "STRICT_ALL_TABLES") == nullptr) return false;
    char query[256];
    snprintf(query, sizeof query,
             "SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'RURUVURO' AND TABLE_NAME = '%s'",
             member.table);
    char engine[64] = "";
    if (querySingleValue(query, engine, sizeof engine) != 0) return false;
    return strcmp(engine, "InnoDB") == 0;
}

// Looked up once per run, when the first record needs it.
void learnWhatThePlanNeeds(const RecordPlan& plan) {
    if (W.records <= 1) return;
    if (W.multiRowInserts < 0) {
        for (int i = 0; i < plan.stepCount; ++i) {
            StepRole role = plan.steps[i].role;
            if (role == StepRole::Insert || role == StepRole::Update) {
                W.multiRowInserts = multiRowInsertsAllowed(*W.member) ? 1 : 0;
                break;
            }
        }
    }
    if (W.keysComparable < 0 && hasUpdate(plan)) {
        W.keysComparable = prepareRowKeys(*W.member) ? 1 : 0;
        // Keys the server might find equal cannot be told apart: such a
        // member writes one record per window.
        if (W.keysComparable == 0) W.records = 1;
    }
}

// The bytes of statements a window may hold: well below the largest query
// the server takes (max_allowed_packet), and never more than the bound of
// its own. 0 when the server would not take even one record's statements
// with room to spare: then every statement goes alone.
size_t windowBytesTheServerTakes() {
    char value[32] = "";
    if (querySingleValue("SELECT @@max_allowed_packet", value, sizeof value) != 0) return 0;
    size_t packet = static_cast<size_t>(strtoull(value, nullptr, 10));
    size_t limit = packet / 2 < WindowStatementBytes ? packet / 2 : WindowStatementBytes;
    const size_t oneRecord = MaxRecordSteps * (StatementBufferSize + 1);
    return limit >= 4 * oneRecord ? limit : 0;
}

bool windowIsFull(size_t lineLength) {
    return W.entryCount >= MaxWindowEntries || W.linesUsed + lineLength + 1 > LineArenaSize;
}

// A new entry with a copy of its line.
int addEntry(const char* line, long lineNumber, long actualLength, bool isRecord) {
    size_t length = strlen(line);
    int index = W.entryCount++;
    Entry& entry = W.entries[index];
    entry = Entry();
    entry.lineNumber = lineNumber;
    entry.lineOffset = W.linesUsed;
    entry.actualLength = actualLength;
    entry.isRecord = isRecord;
    memcpy(W.lines + W.linesUsed, line, length + 1);
    W.linesUsed += length + 1;
    return index;
}

}  // namespace

void cutRecordFields(const ImportMember& member, const char* line, int32_t recordLength, RecordRow& row) {
    for (int i = 0; i < member.fieldCount; ++i) {
        const FieldSpec& place = member.layout[i];
        char* target = row[place.target];
        memset(target, 0, static_cast<size_t>(place.width) + 1);
        if (place.offset + place.width > recordLength - 1) continue;
        memcpy(target, line + place.offset, static_cast<size_t>(place.width));
        target[strnlen(target, static_cast<size_t>(place.width))] = '\0';
        if (place.trimmed) trimRight(target);
    }
}

void startWindows(const ImportMember& member, int32_t recordLength, int records) {
    clearWindow();
    W.member = &member;
    W.recordLength = recordLength;
    W.records = records > MaxWindowRecords ? MaxWindowRecords : (records < 1 ? 1 : records);
    const size_t serverBytes = W.records > 1 ? windowBytesTheServerTakes() : 0;
    W.multiStatements = serverBytes > 0 && enableMultiStatements();
    W.byteLimit = W.multiStatements ? serverBytes : WindowStatementBytes;
    if (!W.multiStatements) W.records = 1;
    W.skipKnownDuplicates = W.records > 1;
    W.multiRowInserts = W.records > 1 ? -1 : 0;
    W.keysComparable = -1;
    W.stopEntry = -1;
    clearTextSet(W.knownDuplicates);
}

void queueLoneNewline(long lineNumber) {
    if (W.recordsQueued == 0) {
        Tally.lines++;
        Tally.loneNewlines++;
        return;
    }
    if (windowIsFull(0) && !flushWindow()) return;
    int index = addEntry("", lineNumber, 1, false);
    W.entries[index].isLoneNewline = true;
}

void queueWrongLength(const char* shown, long lineNumber, long actualLength) {
    if (W.recordsQueued == 0) {
        // Nothing waits before it: its output goes now.
        Tally.lines++;
        clearProgress();
        echoLine(shown);
        fputs(WrongLengthMessage, stdout);
        reportWrongLength(lineNumber, actualLength, W.recordLength);
        return;
    }
    if (windowIsFull(strlen(shown)) && !flushWindow()) return;
    addEntry(shown, lineNumber, actualLength, false);
}

bool queueRecord(const char* line, long lineNumber) {
    if (runStop() != RunStop::None) return false;
    if (windowIsFull(static_cast<size_t>(W.recordLength)) && !flushWindow()) return false;
    int index = addEntry(line, lineNumber, W.recordLength, true);
    Entry& entry = W.entries[index];
    planEntry(entry);
    learnWhatThePlanNeeds(entry.plan);
    size_t keyLength = 0;
    if (W.records > 1 && hasUpdate(entry.plan)) {
        keyLength = rowKeyText(*W.member, W.row, W.keyText, sizeof W.keyText);
        const std::string_view key(W.keyText, keyLength);
        if (textSetContains(W.keys, key) || !textSetHasRoom(W.keys, key)) {
            // A key the window holds already (or no room to hold one more):
            // the window goes first.
            W.entryCount--;
            W.linesUsed = entry.lineOffset;
            if (!flushWindow()) return false;
            return queueRecord(line, lineNumber);
        }
    }
    const int slotsBefore = W.slotCount;
    const size_t arenaBefore = W.arenaUsed;
    if (!formatFirstPhase(index)) {
        // The statement that does not fit is never sent: the window before
        // it goes, then the run ends.
        W.entryCount--;
        W.slotCount = slotsBefore;
        W.arenaUsed = arenaBefore;
        if (!flushWindow()) return false;
        Tally.lines++;
        echoLine(line);
        stopForLongStatement();
        reportStatementTooLong(lineNumber);
        return false;
    }
    if (keyLength > 0) addToTextSet(W.keys, std::string_view(W.keyText, keyLength));
    W.recordsQueued++;
    if (W.recordsQueued >= W.records || W.arenaUsed >= W.byteLimit) return flushWindow();
    return true;
}

bool flushWindow() {
    if (W.entryCount == 0) return runStop() == RunStop::None;
    W.stopEntry = -1;
    if (runStop() == RunStop::None) sendSlots();
    if (runStop() == RunStop::None) sendInserts(W.entryCount);
    writeOutput();
    clearWindow();
    return runStop() == RunStop::None;
}
