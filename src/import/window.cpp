#include "import/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/diag.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "db/connection.h"
#include "import/recordcut.h"
#include "import/report.h"
#include "import/rowkey.h"
#include "import/serverfacts.h"
#include "import/statement.h"
#include "import/textset.h"
#include "import/ways.h"

namespace {

// The insert after an update travels right behind it, in the same query,
// as a compound statement the server runs only when the update changed no
// row (ROW_COUNT() is that count, the connection not asking for found
// rows). A duplicate key means the row is there already and the record
// counts as written, so that error is taken in place and the query goes on.
constexpr std::string_view ConditionalInsertHead =
    "IF ROW_COUNT() = 0 THEN BEGIN NOT ATOMIC DECLARE CONTINUE HANDLER FOR 1062 BEGIN END; ";
constexpr std::string_view ConditionalInsertTail = "; END; END IF";

// The set path: a window's update-else-insert records as one multi-row
// INSERT ... ON DUPLICATE KEY UPDATE, behind a savepoint that undoes it
// when its outcome is not plainly that of the records one by one.
constexpr const char* SetPathSavepoint = "SAVEPOINT kelvora_window";
constexpr const char* SetPathUndo = "ROLLBACK TO SAVEPOINT kelvora_window";

// Bounds of one window. The statements of a window travel as one query,
// which must stay far below the server's max_allowed_packet (4 MiB by
// default on older servers).
constexpr int MaxWindowEntries = MaxWindowRecords + 256;
constexpr int SlotsPerRecord = MaxRecordSteps + 1;   // an update brings its insert
constexpr int MaxSlots = MaxWindowRecords * SlotsPerRecord;
constexpr size_t WindowStatementBytes = 512 * 1024;
constexpr size_t SlotRoom = StatementBufferSize + ConditionalInsertHead.size() + ConditionalInsertTail.size() + 1;
constexpr size_t OneRecordBytes = SlotsPerRecord * SlotRoom;
constexpr size_t ArenaSize = WindowStatementBytes + OneRecordBytes + 16;
constexpr size_t QuerySize = ArenaSize + 1024;
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
    bool noGroup;            // its insert failed in a multi-row INSERT
    int firstSlot;
    long errorText = -1;     // the server's text of its failure in errorTexts, or -1
};

// One statement of the window, its text in the arena followed by ";".
//   step            the plan's step it belongs to
//   afterUpdate     the insert of an Update step, sent only when the update
//                   changed no row: wrapped (the compound statement above)
//                   or bare, sent on its own once the update's count is known
//   tooLong         such an insert whose text does not fit StatementBuffer:
//                   the run ends if it is ever needed
//   prefix          for a plain insert that may join a multi-row INSERT, the
//                   length of its text up to and including VALUES; else 0
//   insertAt/Length the bare insert inside an afterUpdate text
struct Slot {
    int entry;
    int step;
    bool afterUpdate;
    bool wrapped;
    bool tooLong;
    bool alone;          // goes in a query of its own, unwrapped (a parse error's text names what follows it)
    size_t offset;
    size_t length;
    size_t prefix;
    size_t insertAt;
    size_t insertLength;
};

// A statement as it travels: one slot, or the inserts of several slots
// folded into one multi-row INSERT.
struct Unit {
    int firstSlot;
    int lastSlot;
    bool group;
};

// How a result leaves the sending of the window.
enum class After { Next, Regroup, Replan, Stopped };

// The lines of one window and their statements, until its output is
// written. There are two: while the server works on one window's upsert
// (sent ahead), the next window is filled.
struct Window {
    Entry entries[MaxWindowEntries];
    int entryCount = 0;
    int recordsQueued = 0;
    char lines[LineArenaSize];
    size_t linesUsed = 0;

    Slot slots[MaxSlots];
    int slotCount = 0;
    char arena[ArenaSize];
    size_t arenaUsed = 0;

    char errorTexts[ErrorTextArenaSize];
    size_t errorTextsUsed = 0;
    TextSet keys;                 // update keys of the records queued (set path)

    int stopEntry = -1;           // the record the run stopped at
    bool stopEntryShown = false;  // whether that record's own output is written
    long tooLongLine = 0;         // the line whose statement did not fit, or 0
    int tuplesAhead = 0;          // sent ahead: the rows of its upsert
};

// What a run's windows share.
struct WindowState {
    const ImportMember* member = nullptr;
    int32_t recordLength = 0;
    int records = 1;
    size_t byteLimit = WindowStatementBytes;
    bool multiStatements = false;
    Ways ways;

    Unit units[MaxSlots];
    char query[QuerySize];
    StatementResult results[MaxSlots];

    TextSet knownDuplicates;      // Sto/link texts refused as duplicates
    RecordRow row;
    char keyText[RowKeyTextSize];
};

WindowState W;
Window Windows[2];
Window* Win = &Windows[0];        // the window being filled, or being landed
Window* Ahead = nullptr;          // the window whose upsert the server works on

constexpr const char* WrongLengthMessage = "Datensatz mit falscher Satzlaenge!!";

const char* lineOf(const Entry& entry) {
    return Win->lines + entry.lineOffset;
}

const RecordStep& stepOf(const Slot& slot) {
    return Win->entries[slot.entry].plan.steps[slot.step];
}

// ------------------------------------------------------------- planning

// Cuts the entry's line into W.row and lets the member plan it; the same
// line always gives the same row and plan.
void planEntry(Entry& entry) {
    cutRecordFields(*W.member, lineOf(entry), W.recordLength, W.row);
    entry.plan = RecordPlan();
    W.member->planRecord(W.row, entry.plan);
}

// The length of an insert's text up to and including VALUES: the part
// before it is fixed text of the member's format, the same for every record
// that the same builder formats. 0 when there is no VALUES.
size_t insertPrefixLength(std::string_view text) {
    size_t at = text.find(InsertKeyword);
    return at == std::string_view::npos ? 0 : at + InsertKeyword.size();
}

void appendArena(std::string_view text) {
    memcpy(Win->arena + Win->arenaUsed, text.data(), text.size());
    Win->arenaUsed += text.size();
}

// Appends the statement in StatementBuffer as a slot of the window.
void appendSlot(int entry, int step) {
    std::string_view text(StatementBuffer);
    const bool groupable = W.ways.groups == 1 && Win->entries[entry].plan.steps[step].role == StepRole::Insert;
    Slot& slot = Win->slots[Win->slotCount++];
    slot = {entry, step, false, false, false, false, Win->arenaUsed, text.size(),
            groupable ? insertPrefixLength(text) : 0, 0, 0};
    appendArena(text);
    appendArena(";");
}

// Appends the insert of an Update step: formatted into StatementBuffer
// now (false when it does not fit), wrapped when the window carries it in
// the update's query, bare when it goes on its own.
void appendInsertAfterUpdate(int entry, int step) {
    Slot& slot = Win->slots[Win->slotCount++];
    slot = {entry, step, true, W.ways.wrapInserts == 1, false, false, Win->arenaUsed, 0, 0, 0, 0};
    if (!Win->entries[entry].plan.steps[step].insert(W.row)) {
        slot.tooLong = true;
        appendArena(";");
        return;
    }
    std::string_view text(StatementBuffer);
    if (slot.wrapped) appendArena(ConditionalInsertHead);
    slot.insertAt = Win->arenaUsed;
    slot.insertLength = text.size();
    appendArena(text);
    if (slot.wrapped) appendArena(ConditionalInsertTail);
    slot.length = Win->arenaUsed - slot.offset;
    slot.prefix = insertPrefixLength(text);
    appendArena(";");
}

// The statements of an entry, in order, formatted into slots. A Sto or
// link row whose text was refused as a duplicate before in this run is a
// no-op with an ignored result, and is not sent again. False when a
// statement that is always sent did not fit.
bool formatEntry(int index) {
    Entry& entry = Win->entries[index];
    entry.firstSlot = Win->slotCount;
    for (int k = 0; k < entry.plan.stepCount; ++k) {
        const RecordStep& step = entry.plan.steps[k];
        if (!step.statement(W.row)) return false;
        if (step.role == StepRole::Ignored && W.ways.skipDuplicates == 1 &&
            textSetContains(W.knownDuplicates, StatementBuffer)) {
            continue;
        }
        appendSlot(index, k);
        if (step.role == StepRole::Update) appendInsertAfterUpdate(index, k);
    }
    if (entry.plan.stepCount == 0) {
        entry.result = entry.plan.resultWithoutStatement;
        entry.resolved = true;
    }
    return true;
}

// ------------------------------------------------------------- composing

// A slot of an Update step whose record is resolved needs nothing more: the
// update failed or changed its row, or the set path wrote the record.
bool isDone(const Slot& slot) {
    return stepOf(slot).role == StepRole::Update && Win->entries[slot.entry].resolved;
}

// A slot that cannot travel with the statements before it: an insert after
// an update that is bare (its update's count decides first) or too long (the
// run ends if the update changed no row), and a statement that goes alone.
bool travelsAlone(const Slot& slot) {
    return slot.alone || (slot.afterUpdate && (!slot.wrapped || slot.tooLong));
}

// The text a slot travels with: a wrapped insert that goes alone goes bare.
std::string_view textOf(const Slot& slot) {
    if (slot.alone && slot.afterUpdate) return std::string_view(Win->arena + slot.insertAt, slot.insertLength);
    return std::string_view(Win->arena + slot.offset, slot.length);
}

// A slot that may join a multi-row INSERT now: a plain insert with its
// prefix, whose record has not failed in one already.
bool isGroupable(const Slot& slot) {
    return slot.prefix > 0 && !slot.afterUpdate && !Win->entries[slot.entry].noGroup;
}

// Whether slot b's insert can follow slot a's in one multi-row INSERT: the
// same builder, so the same fixed text before VALUES.
bool sameInsert(const Slot& a, const Slot& b) {
    return isGroupable(b) && stepOf(a).statement == stepOf(b).statement && b.prefix == a.prefix &&
           memcmp(Win->arena + a.offset, Win->arena + b.offset, a.prefix) == 0;
}

void appendQuery(size_t& used, std::string_view text) {
    memcpy(W.query + used, text.data(), text.size());
    used += text.size();
}

// The VALUES tuple of an insert, without the blanks around it.
std::string_view insertTuple(const char* insert, size_t length, size_t prefix) {
    std::string_view tuple(insert + prefix, length - prefix);
    while (!tuple.empty() && tuple.front() == ' ') tuple.remove_prefix(1);
    while (!tuple.empty() && tuple.back() == ' ') tuple.remove_suffix(1);
    return tuple;
}

// A statement that carries several records waits for no other
// transaction's lock where the server allows that (serverfacts.h).
void appendNoWait(size_t& used) {
    if (W.ways.session.noWaitStatements) appendQuery(used, NoWaitPrefix);
}

// One multi-row INSERT: the member's own column list and each record's
// VALUES tuple from its own statement.
void appendGroup(size_t& used, const Unit& unit) {
    const Slot& first = Win->slots[unit.firstSlot];
    appendNoWait(used);
    appendQuery(used, std::string_view(Win->arena + first.offset, first.prefix));
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        const Slot& slot = Win->slots[s];
        appendQuery(used, s == unit.firstSlot ? " " : ", ");
        appendQuery(used, insertTuple(Win->arena + slot.offset, slot.length, slot.prefix));
    }
}

// The slots from cursor on that go in one query, as units in W.units: up
// to the end of the window, but not past an insert that waits for its
// update's count; one statement only without multi-statement queries.
// Slots that are done are passed over. Returns the number of units.
int planUnits(int cursor) {
    int count = 0;
    for (int s = cursor; s < Win->slotCount;) {
        if (isDone(Win->slots[s])) {
            s++;
            continue;
        }
        if (count > 0 && (!W.multiStatements || travelsAlone(Win->slots[s]))) break;
        Unit unit = {s, s, false};
        while (isGroupable(Win->slots[s]) && unit.lastSlot + 1 < Win->slotCount &&
               sameInsert(Win->slots[s], Win->slots[unit.lastSlot + 1])) {
            unit.lastSlot++;
        }
        // A record alone travels in its own statement, as it stands.
        unit.group = unit.lastSlot > s;
        W.units[count++] = unit;
        s = unit.lastSlot + 1;
        if (travelsAlone(Win->slots[unit.firstSlot])) break;
    }
    return count;
}

// The text of the units as one query, ";" between the statements.
size_t composeQuery(int units) {
    size_t used = 0;
    for (int u = 0; u < units; ++u) {
        if (u > 0) appendQuery(used, ";");
        const Unit& unit = W.units[u];
        const Slot& slot = Win->slots[unit.firstSlot];
        if (unit.group) {
            appendGroup(used, unit);
        } else {
            appendQuery(used, textOf(slot));
        }
    }
    return used;
}

// ------------------------------------------------------------- results

// Keeps the server's text of a record's failure for standard error, as long
// as there is room (the texts of a window's first failures are the ones
// that get listed).
void keepErrorText(Entry& entry) {
    const char* text = lastFailureText();
    size_t length = strlen(text);
    entry.errorText = -1;
    if (Win->errorTextsUsed + length + 1 > sizeof Win->errorTexts) return;
    memcpy(Win->errorTexts + Win->errorTextsUsed, text, length + 1);
    entry.errorText = static_cast<long>(Win->errorTextsUsed);
    Win->errorTextsUsed += length + 1;
}

const char* errorTextOf(const Entry& entry) {
    return entry.errorText >= 0 ? Win->errorTexts + entry.errorText : "";
}

void resolve(Entry& entry, int32_t result) {
    entry.result = result;
    entry.resolved = true;
    if (result != 0) keepErrorText(entry);
}

// The run stopped at this record: its own result and output are kept.
After stopAt(int index, int32_t code) {
    resolve(Win->entries[index], code);
    Win->stopEntry = index;
    Win->stopEntryShown = true;
    return After::Stopped;
}

// The run ends at a record whose statement does not fit its buffer: the
// records before it are written, it is only echoed.
After stopForTooLong(int index) {
    stopForLongStatement();
    Win->stopEntry = index;
    Win->stopEntryShown = false;
    Win->tooLongLine = Win->entries[index].lineNumber;
    return After::Stopped;
}

// A multi-row INSERT: all its records succeeded, or (in strict mode on a
// table with transactions) none of its rows stayed, and its records go
// again one by one. One that met another transaction's lock ended at once
// (serverfacts.h); one by one, the records wait each at its own statement,
// as one statement per query would. A failure that ended the transaction
// all the same is charged to its first record.
After applyGroupResult(const Unit& unit, const StatementResult& result) {
    if (result.code == ErrorLockWaitTimeout) {
        for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) Win->entries[Win->slots[s].entry].noGroup = true;
        return After::Regroup;
    }
    checkedResult(result);
    const int firstEntry = Win->slots[unit.firstSlot].entry;
    if (runStop() != RunStop::None) return stopAt(firstEntry, result.code);
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        Entry& entry = Win->entries[Win->slots[s].entry];
        if (result.code == 0) {
            resolve(entry, 0);
        } else {
            entry.noGroup = true;
        }
    }
    return result.code == 0 ? After::Next : After::Regroup;
}

// Takes the Sto and link rows whose text has been refused as a duplicate
// out of the slots from first on: each of them would be refused again.
void dropKnownDuplicates(int first) {
    static int newIndex[MaxSlots + 1];
    int kept = first;
    size_t write = first < Win->slotCount ? Win->slots[first].offset : Win->arenaUsed;
    for (int s = first; s < Win->slotCount; ++s) {
        newIndex[s] = kept;
        Slot slot = Win->slots[s];
        std::string_view text(Win->arena + slot.offset, slot.length);
        if (!slot.afterUpdate && stepOf(slot).role == StepRole::Ignored && textSetContains(W.knownDuplicates, text)) {
            continue;
        }
        const size_t moveBy = slot.offset - write;
        memmove(Win->arena + write, Win->arena + slot.offset, slot.length + 1);
        slot.offset = write;
        slot.insertAt -= slot.afterUpdate ? moveBy : 0;
        write += slot.length + 1;
        Win->slots[kept++] = slot;
    }
    newIndex[Win->slotCount] = kept;
    for (int i = 0; i < Win->entryCount; ++i) {
        Entry& entry = Win->entries[i];
        if (entry.isRecord && entry.firstSlot >= first) entry.firstSlot = newIndex[entry.firstSlot];
    }
    Win->slotCount = kept;
    Win->arenaUsed = write;
}

// Plans and formats the entries from index on again, after the member has
// changed its statements (SLD without TswAmp).
After replanFrom(int index) {
    const int firstSlot = Win->entries[index].firstSlot;
    if (firstSlot < Win->slotCount) Win->arenaUsed = Win->slots[firstSlot].offset;
    Win->slotCount = firstSlot;
    for (int i = index; i < Win->entryCount; ++i) {
        Entry& entry = Win->entries[i];
        if (!entry.isRecord) continue;
        entry.noGroup = false;
        entry.resolved = false;
        planEntry(entry);
        if (!formatEntry(i)) return stopForTooLong(i);
    }
    return After::Replan;
}

// The result of one statement of a plan's step, sent alone.
After applyStepResult(const Slot& slot, const StatementResult& result) {
    Entry& entry = Win->entries[slot.entry];
    const RecordStep& step = stepOf(slot);
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
        if (result.code == ErrorDuplicateKey && W.ways.skipDuplicates == 1) {
            addToTextSet(W.knownDuplicates, std::string_view(Win->arena + slot.offset, slot.length));
            dropKnownDuplicates(static_cast<int>(&slot - Win->slots) + 1);
        }
        break;
    case StepRole::Update:
        // A failed update fails the record; one that changed a row writes
        // it; one that changed none leaves it to its insert.
        if (result.code != 0 || result.affected > 0) resolve(entry, result.code);
        break;
    }
    return After::Next;
}

// The insert after an update that changed no row: a duplicate key means
// the row is there already, and the record counts as written. (Wrapped,
// it also answers when the update did change a row: then it did nothing.)
After applyInsertResult(const Slot& slot, const StatementResult& result) {
    checkedResult(result);
    if (runStop() != RunStop::None) return stopAt(slot.entry, result.code);
    Entry& entry = Win->entries[slot.entry];
    if (!entry.resolved) resolve(entry, result.code == ErrorDuplicateKey ? 0 : result.code);
    return After::Next;
}

// A statement the server could not parse ran nothing, but the text of its
// error quotes the query from the fault on: with other statements behind it,
// or wrapped, it goes again alone, so that the text is its own.
bool parseErrorToRepeatAlone(const Unit& unit, const StatementResult& result, bool lastInQuery) {
    Slot& slot = Win->slots[unit.firstSlot];
    if (result.code != ErrorParse || unit.group || slot.alone) return false;
    if (lastInQuery && !slot.wrapped) return false;
    slot.alone = true;
    return true;
}

After applyResult(const Unit& unit, const StatementResult& result, bool lastInQuery) {
    if (unit.group) return applyGroupResult(unit, result);
    if (parseErrorToRepeatAlone(unit, result, lastInQuery)) return After::Regroup;
    const Slot& slot = Win->slots[unit.firstSlot];
    if (slot.afterUpdate) return applyInsertResult(slot, result);
    return applyStepResult(slot, result);
}

// Sends the slots of the window in order, query after query: a statement
// that fails ends its query's results, and the statements after it go
// again.
void sendSlots() {
    int cursor = 0;
    while (runStop() == RunStop::None) {
        while (cursor < Win->slotCount && isDone(Win->slots[cursor])) cursor++;
        if (cursor >= Win->slotCount) return;
        const Slot& next = Win->slots[cursor];
        if (next.afterUpdate && next.tooLong) {
            stopForTooLong(next.entry);
            return;
        }
        int units = planUnits(cursor);
        size_t length = composeQuery(units);
        int answered = runStatements(W.query, length, W.results, units);
        for (int u = 0; u < answered; ++u) {
            After after = applyResult(W.units[u], W.results[u], u == units - 1);
            if (after == After::Stopped) return;
            if (after == After::Regroup) {
                cursor = W.units[u].firstSlot;
                break;
            }
            if (after == After::Replan) {
                cursor = Win->entries[Win->slots[W.units[u].firstSlot].entry].firstSlot;
                break;
            }
            cursor = W.units[u].lastSlot + 1;
        }
    }
}

// ------------------------------------------------------------- set path

// The window's update-else-insert records as one multi-row INSERT with the
// member's ON DUPLICATE KEY UPDATE, behind a savepoint, in W.query.
// Returns the length, 0 when some record's insert did not fit.
size_t composeUpsert(int& tuples) {
    size_t used = 0;
    tuples = 0;
    appendQuery(used, SetPathSavepoint);
    appendQuery(used, ";");
    appendNoWait(used);
    for (int s = 0; s < Win->slotCount; ++s) {
        const Slot& slot = Win->slots[s];
        if (!slot.afterUpdate) continue;
        if (slot.tooLong || slot.prefix == 0) return 0;
        const char* insert = Win->arena + slot.insertAt;
        if (tuples == 0) appendQuery(used, std::string_view(insert, slot.prefix));
        appendQuery(used, tuples == 0 ? " " : ", ");
        appendQuery(used, insertTuple(insert, slot.insertLength, slot.prefix));
        tuples++;
    }
    appendQuery(used, W.member->upsertClause);
    // One record gains nothing from an upsert: it goes the exact way.
    return tuples > 1 ? used : 0;
}

// The first record of the window with an update.
int firstUpdateEntry() {
    for (int s = 0; s < Win->slotCount; ++s) {
        if (Win->slots[s].afterUpdate) return Win->slots[s].entry;
    }
    return -1;
}

// What the set path's upsert gave (the savepoint's result, then the
// upsert's). Every record's outcome one by one is "written", whatever its
// update and insert each did, so a clean upsert (no error, no warning, every
// row taken) writes them all; anything else is undone and the window goes
// the exact way, a lock it met included. A failure that ends the transaction
// stops the run at the window's first such record, as it would inside a
// multi-row INSERT.
void applyUpsert(const StatementResult* results, int answered, int tuples) {
    const StatementResult& upsert = results[answered - 1];
    const bool metALock = upsert.code == ErrorLockWaitTimeout;
    if (!metALock) checkedResult(upsert);
    if (runStop() != RunStop::None) {
        stopAt(firstUpdateEntry(), upsert.code);
        return;
    }
    const bool clean = answered == 2 && upsert.code == 0 && upsert.warnings == 0 && upsert.records == tuples;
    if (!clean) {
        if (answered == 2) {
            const StatementResult undo = runStatement(SetPathUndo);
            checkedResult(undo);
            if (runStop() != RunStop::None) stopAt(firstUpdateEntry(), undo.code);
        }
        return;
    }
    for (int s = 0; s < Win->slotCount; ++s) {
        if (Win->slots[s].afterUpdate) resolve(Win->entries[Win->slots[s].entry], 0);
    }
}

// Sends the window's upsert and takes its result.
void sendUpsert() {
    int tuples = 0;
    const size_t length = composeUpsert(tuples);
    if (length == 0) return;
    StatementResult results[2];
    const int answered = runStatements(W.query, length, results, 2);
    applyUpsert(results, answered, tuples);
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
    // A record whose statements were never sent, before the one that
    // stopped the run inside a multi-row statement: nothing of it is written.
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
    int end = Win->entryCount;
    if (Win->stopEntry >= 0) end = Win->stopEntry + (Win->stopEntryShown ? 1 : 0);
    const bool transactionEnded = runStop() == RunStop::TransactionEnded;
    for (int i = 0; i < end; ++i) writeEntry(Win->entries[i], transactionEnded && i == Win->stopEntry);
    // A record whose statement did not fit has been echoed, as every line
    // read is, before the run ended; nothing else of it is written.
    if (Win->stopEntry >= 0 && !Win->stopEntryShown) {
        Tally.lines++;
        echoLine(lineOf(Win->entries[Win->stopEntry]));
    }
    if (Win->tooLongLine > 0) reportStatementTooLong(Win->tooLongLine);
    Win->tooLongLine = 0;
}

void clearWindow() {
    Win->entryCount = 0;
    Win->recordsQueued = 0;
    Win->linesUsed = 0;
    Win->slotCount = 0;
    Win->arenaUsed = 0;
    Win->errorTextsUsed = 0;
    Win->stopEntry = -1;
    Win->tuplesAhead = 0;
    clearTextSet(Win->keys);
}

// The rest of a window once its upsert, if it had one, is done: its
// statements in order, then its output.
void completeWindow() {
    if (runStop() == RunStop::None) sendSlots();
    writeOutput();
    clearWindow();
}

// ------------------------------------------------------------- ahead

// A full window on the set path goes ahead: its upsert is sent, and the
// next window is filled (its lines read, cut and formatted) while the
// server works. Its result is read, and whatever else the window needs is
// sent, before anything of the next window is sent: the server sees the
// statements of one window after another, as without sending ahead. False
// when the window has no upsert to send.
bool sendAhead() {
    int tuples = 0;
    const size_t length = composeUpsert(tuples);
    if (length == 0) return false;
    sendStatements(W.query, length);
    Win->tuplesAhead = tuples;
    Ahead = Win;
    Win = Win == &Windows[0] ? &Windows[1] : &Windows[0];
    clearWindow();
    return true;
}

// The window sent ahead, landed: its upsert's result taken, the rest of
// its statements sent, its output written. False once the run has
// stopped; the window being filled then holds lines read after the stop,
// and is dropped: nothing of them is written.
bool landAhead() {
    if (Ahead != nullptr) {
        Window* const filling = Win;
        Win = Ahead;
        Ahead = nullptr;
        StatementResult results[2];
        const int answered = readStatements(results, 2);
        applyUpsert(results, answered, Win->tuplesAhead);
        completeWindow();
        Win = filling;
    }
    if (runStop() != RunStop::None) clearWindow();
    return runStop() == RunStop::None;
}

// No record waits for its output, here or ahead: a line's own output may
// go at once.
bool nothingWaits() {
    return Win->recordsQueued == 0 && Ahead == nullptr;
}

// A full window: sent ahead where it goes as one upsert, else sent and
// written now.
bool passWindowOn() {
    if (!landAhead()) return false;
    if (W.ways.setPath == 1 && sendAhead()) return true;
    return flushWindow();
}

// ------------------------------------------------------------- set-up

// The bytes of statements a window may hold: well below the largest query
// the server takes (max_allowed_packet), and never more than the bound of
// its own. 0 when the server would not take even one record's statements
// with room to spare: then every statement goes alone.
size_t windowBytesTheServerTakes() {
    char value[32] = "";
    if (querySingleValue("SELECT @@max_allowed_packet", value, sizeof value) != 0) return 0;
    size_t packet = static_cast<size_t>(strtoull(value, nullptr, 10));
    size_t limit = packet / 2 < WindowStatementBytes ? packet / 2 : WindowStatementBytes;
    return limit >= 4 * OneRecordBytes ? limit : 0;
}

bool windowIsFull(size_t lineLength) {
    return Win->entryCount >= MaxWindowEntries || Win->linesUsed + lineLength + 1 > LineArenaSize;
}

// A new entry with a copy of its line.
int addEntry(const char* line, long lineNumber, long actualLength, bool isRecord) {
    size_t length = strlen(line);
    int index = Win->entryCount++;
    Entry& entry = Win->entries[index];
    entry = Entry();
    entry.lineNumber = lineNumber;
    entry.lineOffset = Win->linesUsed;
    entry.actualLength = actualLength;
    entry.isRecord = isRecord;
    memcpy(Win->lines + Win->linesUsed, line, length + 1);
    Win->linesUsed += length + 1;
    return index;
}

// The last entry is taken back out of the window.
void dropLastEntry(int slotsBefore, size_t arenaBefore) {
    Win->linesUsed = Win->entries[Win->entryCount - 1].lineOffset;
    Win->entryCount--;
    Win->slotCount = slotsBefore;
    Win->arenaUsed = arenaBefore;
}

// On the set path the records of a window differ in their keys as the
// server compares them (rowkey.h). False when the entry's key repeats one
// in the window, or there is no room to hold it: the window goes first.
bool keyFitsTheWindow(const Entry& entry, size_t& keyLength) {
    keyLength = 0;
    if (W.ways.setPath != 1 || !planHasRole(entry.plan, StepRole::Update)) return true;
    keyLength = rowKeyText(*W.member, W.row, W.keyText, sizeof W.keyText);
    const std::string_view key(W.keyText, keyLength);
    return !textSetContains(Win->keys, key) && textSetHasRoom(Win->keys, key);
}

}  // namespace

void startWindows(const ImportMember& member, int32_t recordLength, int records) {
    Ahead = nullptr;
    Win = &Windows[1];
    clearWindow();
    Win = &Windows[0];
    clearWindow();
    W.member = &member;
    W.recordLength = recordLength;
    W.records = records > MaxWindowRecords ? MaxWindowRecords : (records < 1 ? 1 : records);
    const size_t serverBytes = W.records > 1 ? windowBytesTheServerTakes() : 0;
    W.multiStatements = serverBytes > 0 && enableMultiStatements();
    W.byteLimit = W.multiStatements ? serverBytes : WindowStatementBytes;
    if (!W.multiStatements) W.records = 1;
    W.ways = Ways();
    Win->stopEntry = -1;
    clearTextSet(W.knownDuplicates);
}

bool queueLoneNewline(long lineNumber) {
    if (nothingWaits()) {
        Tally.lines++;
        Tally.loneNewlines++;
        return true;
    }
    if (windowIsFull(0) && !passWindowOn()) return false;
    int index = addEntry("", lineNumber, 1, false);
    Win->entries[index].isLoneNewline = true;
    return true;
}

bool queueWrongLength(const char* shown, long lineNumber, long actualLength) {
    if (nothingWaits()) {
        // Nothing waits before it: its output goes now.
        Tally.lines++;
        clearProgress();
        echoLine(shown);
        fputs(WrongLengthMessage, stdout);
        reportWrongLength(lineNumber, actualLength, W.recordLength);
        return true;
    }
    if (windowIsFull(strlen(shown)) && !passWindowOn()) return false;
    addEntry(shown, lineNumber, actualLength, false);
    return true;
}

bool queueRecord(const char* line, long lineNumber) {
    if (runStop() != RunStop::None) return false;
    if (windowIsFull(static_cast<size_t>(W.recordLength)) && !passWindowOn()) return false;
    const int slotsBefore = Win->slotCount;
    const size_t arenaBefore = Win->arenaUsed;
    int index = addEntry(line, lineNumber, W.recordLength, true);
    Entry& entry = Win->entries[index];
    planEntry(entry);
    // Deciding may ask the server, which must have answered what went ahead.
    if (Ahead != nullptr && waysToDecide(W.ways, entry.plan, W.records > 1) && !landAhead()) return false;
    decideWays(W.ways, *W.member, entry.plan, W.records > 1);
    size_t keyLength = 0;
    if (!keyFitsTheWindow(entry, keyLength)) {
        dropLastEntry(slotsBefore, arenaBefore);
        if (!passWindowOn()) return false;
        return queueRecord(line, lineNumber);
    }
    if (!formatEntry(index)) {
        // The statement that does not fit is never sent: the window before
        // it goes, then the run ends.
        dropLastEntry(slotsBefore, arenaBefore);
        if (!flushWindow()) return false;
        Tally.lines++;
        echoLine(line);
        stopForLongStatement();
        reportStatementTooLong(lineNumber);
        return false;
    }
    if (keyLength > 0) addToTextSet(Win->keys, std::string_view(W.keyText, keyLength));
    Win->recordsQueued++;
    if (Win->recordsQueued >= W.records || Win->arenaUsed >= W.byteLimit) return passWindowOn();
    return true;
}

bool flushWindow() {
    if (!landAhead()) return false;
    if (Win->entryCount == 0) return true;
    if (W.ways.setPath == 1) sendUpsert();
    completeWindow();
    return runStop() == RunStop::None;
}
