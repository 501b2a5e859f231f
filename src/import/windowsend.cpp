#include "import/windowsend.h"

#include <cstring>
#include <string_view>

#include "db/connection.h"
#include "import/statement.h"
#include "import/textset.h"
#include "import/windowfill.h"
#include "import/windowquery.h"

namespace {

// Keeps the server's text of a record's failure for standard error, as long
// as there is room (the texts of a window's first failures are the ones
// that get listed).
void keepErrorText(Window& win, Entry& entry) {
    const char* text = lastFailureText();
    size_t length = strlen(text);
    entry.errorText = -1;
    if (win.errorTextsUsed + length + 1 > sizeof win.errorTexts) return;
    memcpy(win.errorTexts + win.errorTextsUsed, text, length + 1);
    entry.errorText = static_cast<long>(win.errorTextsUsed);
    win.errorTextsUsed += length + 1;
}

// The run ends at a record whose statement does not fit its buffer: the
// records before it are written, it is only echoed.
After stopForTooLong(Window& win, int index) {
    stopForLongStatement();
    win.stopEntry = index;
    win.stopEntryShown = false;
    win.tooLongLine = win.entries[index].lineNumber;
    return After::Stopped;
}

// A multi-row INSERT: all its records succeeded, or (in strict mode on a
// table with transactions) none of its rows stayed, and its records go
// again one by one. One that met another transaction's lock ended at once
// (serverfacts.h); one by one, the records wait each at its own statement,
// as one statement per query would. A failure that ended the transaction
// all the same is charged to its first record.
//
// Rows whose results are ignored (windowgather.h) decide nothing for their
// records either way; a failed group of them sends its rows again one by
// one, each record's other rows staying in their groups.
After applyGroupResult(Window& win, const Unit& unit, const StatementResult& result) {
    const bool ignored = stepOf(win, win.slots[unit.firstSlot]).role == StepRole::Ignored;
    if (result.code != ErrorLockWaitTimeout) checkedResult(result);
    const int firstEntry = win.slots[unit.firstSlot].entry;
    if (runStop() != RunStop::None) return stopAt(win, firstEntry, result.code);
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        Slot& slot = win.slots[s];
        Entry& entry = win.entries[slot.entry];
        if (result.code != 0) {
            slot.ungrouped = ignored;
            entry.noGroup = entry.noGroup || !ignored;
        } else if (!ignored) {
            resolve(win, entry, 0);
        }
    }
    return result.code == 0 ? After::Next : After::Regroup;
}

// Plans and formats the entries from index on again, after the member has
// changed its statements (SLD without TswAmp).
After replanFrom(WindowState& run, Window& win, int index) {
    const int firstSlot = win.entries[index].firstSlot;
    if (firstSlot < win.slotCount) win.arenaUsed = win.slots[firstSlot].offset;
    win.slotCount = firstSlot;
    for (int i = index; i < win.entryCount; ++i) {
        Entry& entry = win.entries[i];
        if (!entry.isRecord) continue;
        entry.noGroup = false;
        entry.resolved = false;
        planEntry(run, win, entry);
        if (!formatEntry(run, win, i)) return stopForTooLong(win, i);
    }
    return After::Replan;
}

// The result of one statement of a plan's step, sent alone.
After applyStepResult(WindowState& run, Window& win, const Slot& slot, const StatementResult& result) {
    Entry& entry = win.entries[slot.entry];
    const RecordStep& step = stepOf(win, slot);
    checkedResult(result);
    if (runStop() != RunStop::None) return stopAt(win, slot.entry, result.code);
    switch (step.role) {
    case StepRole::Insert:
    case StepRole::Decides:
        if (result.code != 0 && run.member->replanAfter != nullptr && run.member->replanAfter(result.code)) {
            return replanFrom(run, win, slot.entry);
        }
        resolve(win, entry, result.code);
        break;
    case StepRole::Ignored:
        if (result.code == ErrorDuplicateKey && run.ways.skipDuplicates == 1) {
            addToTextSet(run.knownDuplicates, std::string_view(win.arena + slot.offset, slot.length));
            dropKnownDuplicates(run, win, static_cast<int>(&slot - win.slots) + 1);
        }
        break;
    case StepRole::Update:
        // A failed update fails the record; one that changed a row writes
        // it; one that changed none leaves it to its insert.
        if (result.code != 0 || result.affected > 0) resolve(win, entry, result.code);
        break;
    }
    return After::Next;
}

// The insert after an update that changed no row: a duplicate key means
// the row is there already, and the record counts as written. (Wrapped,
// it also answers when the update did change a row: then it did nothing.)
After applyInsertResult(Window& win, const Slot& slot, const StatementResult& result) {
    checkedResult(result);
    if (runStop() != RunStop::None) return stopAt(win, slot.entry, result.code);
    Entry& entry = win.entries[slot.entry];
    if (!entry.resolved) resolve(win, entry, result.code == ErrorDuplicateKey ? 0 : result.code);
    return After::Next;
}

// A statement the server could not parse ran nothing, but the text of its
// error quotes the query from the fault on: with other statements behind it,
// or wrapped, it goes again alone, so that the text is its own.
bool parseErrorToRepeatAlone(Window& win, const Unit& unit, const StatementResult& result, bool lastInQuery) {
    Slot& slot = win.slots[unit.firstSlot];
    if (result.code != ErrorParse || unit.group || slot.alone) return false;
    if (lastInQuery && !slot.wrapped) return false;
    slot.alone = true;
    return true;
}

// The result of one unit: a multi-row INSERT, a statement whose parse
// error must be seen alone, an insert after an update, or a plan's step.
After applyResult(WindowState& run, Window& win, const Unit& unit, const StatementResult& result, bool lastInQuery) {
    if (unit.group) return applyGroupResult(win, unit, result);
    if (parseErrorToRepeatAlone(win, unit, result, lastInQuery)) return After::Regroup;
    const Slot& slot = win.slots[unit.firstSlot];
    if (slot.afterUpdate) return applyInsertResult(win, slot, result);
    return applyStepResult(run, win, slot, result);
}

}  // namespace

void resolve(Window& win, Entry& entry, int32_t result) {
    entry.result = result;
    entry.resolved = true;
    if (result != 0) keepErrorText(win, entry);
}

After stopAt(Window& win, int index, int32_t code) {
    resolve(win, win.entries[index], code);
    win.stopEntry = index;
    win.stopEntryShown = true;
    return After::Stopped;
}

bool applyAnswers(WindowState& run, Window& win, int units, const StatementResult* results, int answered,
                  int& cursor) {
    for (int u = 0; u < answered; ++u) {
        const Unit& unit = run.units[u];
        After after = applyResult(run, win, unit, results[u], u == units - 1);
        if (after == After::Stopped) return false;
        if (after == After::Regroup) {
            cursor = unit.firstSlot;
            return true;
        }
        if (after == After::Replan) {
            cursor = win.entries[win.slots[unit.firstSlot].entry].firstSlot;
            return true;
        }
        cursor = unit.lastSlot + 1;
    }
    return true;
}

void sendSlots(WindowState& run, Window& win, int cursor) {
    while (runStop() == RunStop::None) {
        while (cursor < win.slotCount && isDone(win, win.slots[cursor])) cursor++;
        if (cursor >= win.slotCount) return;
        const Slot& next = win.slots[cursor];
        if (next.afterUpdate && next.tooLong) {
            stopForTooLong(win, next.entry);
            return;
        }
        int units = planUnits(run, win, cursor);
        size_t length = composeQuery(run, win, units);
        if (units == 0) {
            stopForTooLong(win, next.entry);
            return;
        }
        int answered = runStatements(run.query, length, run.results, units);
        if (!applyAnswers(run, win, units, run.results, answered, cursor)) return;
    }
}
