#include "import/windowfill.h"

#include <cstring>
#include <string_view>

#include "import/recordcut.h"
#include "import/rowkey.h"
#include "import/statement.h"
#include "import/textset.h"

size_t insertPrefixLength(std::string_view text) {
    size_t at = text.find(InsertKeyword);
    return at == std::string_view::npos ? 0 : at + InsertKeyword.size();
}

namespace {

// Copies text to the end of the window's arena.
void appendArena(Window& win, std::string_view text) {
    memcpy(win.arena + win.arenaUsed, text.data(), text.size());
    win.arenaUsed += text.size();
}

// Appends the statement in StatementBuffer as a slot of the window.
void appendSlot(const WindowState& run, Window& win, int entry, int step) {
    std::string_view text(StatementBuffer);
    const bool groupable = run.ways.groups == 1 && win.entries[entry].plan.steps[step].role == StepRole::Insert;
    Slot& slot = win.slots[win.slotCount++];
    slot = {entry, step, false, false, false, false, win.arenaUsed, text.size(),
            groupable ? insertPrefixLength(text) : 0, 0, 0};
    appendArena(win, text);
    appendArena(win, ";");
}

// Appends the insert of an Update step: formatted into StatementBuffer
// now (false when it does not fit), wrapped when the window carries it in
// the update's query, bare when it goes on its own.
void appendInsertAfterUpdate(const WindowState& run, Window& win, int entry, int step) {
    Slot& slot = win.slots[win.slotCount++];
    slot = {entry, step, true, run.ways.wrapInserts == 1, false, false, win.arenaUsed, 0, 0, 0, 0};
    if (!win.entries[entry].plan.steps[step].insert(run.row)) {
        slot.tooLong = true;
        appendArena(win, ";");
        return;
    }
    std::string_view text(StatementBuffer);
    if (slot.wrapped) appendArena(win, ConditionalInsertHead);
    slot.insertAt = win.arenaUsed;
    slot.insertLength = text.size();
    appendArena(win, text);
    if (slot.wrapped) appendArena(win, ConditionalInsertTail);
    slot.length = win.arenaUsed - slot.offset;
    slot.prefix = insertPrefixLength(text);
    appendArena(win, ";");
}

}  // namespace

void clearWindow(Window& win) {
    win.entryCount = 0;
    win.recordsQueued = 0;
    win.linesUsed = 0;
    win.slotCount = 0;
    win.arenaUsed = 0;
    win.errorTextsUsed = 0;
    win.stopEntry = -1;
    win.upsertTuples = 0;
    win.gathered = false;
    win.tailUnits = 0;
    clearTextSet(win.keys);
}

bool windowIsFull(const Window& win, size_t lineLength) {
    return win.entryCount >= MaxWindowEntries || win.linesUsed + lineLength + 1 > LineArenaSize;
}

int addEntry(Window& win, const char* line, long lineNumber, long actualLength, bool isRecord) {
    size_t length = strlen(line);
    int index = win.entryCount++;
    Entry& entry = win.entries[index];
    entry = Entry();
    entry.lineNumber = lineNumber;
    entry.lineOffset = win.linesUsed;
    entry.actualLength = actualLength;
    entry.isRecord = isRecord;
    memcpy(win.lines + win.linesUsed, line, length + 1);
    win.linesUsed += length + 1;
    return index;
}

void dropLastEntry(Window& win, int slotsBefore, size_t arenaBefore) {
    win.linesUsed = win.entries[win.entryCount - 1].lineOffset;
    win.entryCount--;
    win.slotCount = slotsBefore;
    win.arenaUsed = arenaBefore;
}

void planEntry(WindowState& run, const Window& win, Entry& entry) {
    cutRecordFields(*run.member, lineOf(win, entry), run.recordLength, run.row);
    entry.plan = RecordPlan();
    run.member->planRecord(run.row, entry.plan);
}

bool formatEntry(const WindowState& run, Window& win, int index) {
    Entry& entry = win.entries[index];
    entry.firstSlot = win.slotCount;
    for (int k = 0; k < entry.plan.stepCount; ++k) {
        const RecordStep& step = entry.plan.steps[k];
        if (!step.statement(run.row)) return false;
        if (step.role == StepRole::Ignored && run.ways.skipDuplicates == 1 &&
            textSetContains(run.knownDuplicates, StatementBuffer)) {
            continue;
        }
        appendSlot(run, win, index, k);
        if (step.role == StepRole::Update) appendInsertAfterUpdate(run, win, index, k);
    }
    if (entry.plan.stepCount == 0) {
        entry.result = entry.plan.resultWithoutStatement;
        entry.resolved = true;
    }
    return true;
}

bool keyFitsTheWindow(WindowState& run, const Window& win, const Entry& entry, size_t& keyLength) {
    keyLength = 0;
    if (run.ways.setPath != 1 || !planHasRole(entry.plan, StepRole::Update)) return true;
    keyLength = rowKeyText(*run.member, run.row, run.keyText, sizeof run.keyText);
    const std::string_view key(run.keyText, keyLength);
    return !textSetContains(win.keys, key) && textSetHasRoom(win.keys, key);
}

void dropKnownDuplicates(WindowState& run, Window& win, int first) {
    int* newIndex = run.slotMoves;
    int kept = first;
    size_t write = first < win.slotCount ? win.slots[first].offset : win.arenaUsed;
    for (int s = first; s < win.slotCount; ++s) {
        newIndex[s] = kept;
        Slot slot = win.slots[s];
        std::string_view text(win.arena + slot.offset, slot.length);
        if (!slot.afterUpdate && stepOf(win, slot).role == StepRole::Ignored &&
            textSetContains(run.knownDuplicates, text)) {
            continue;
        }
        const size_t moveBy = slot.offset - write;
        memmove(win.arena + write, win.arena + slot.offset, slot.length + 1);
        slot.offset = write;
        slot.insertAt -= slot.afterUpdate ? moveBy : 0;
        write += slot.length + 1;
        win.slots[kept++] = slot;
    }
    newIndex[win.slotCount] = kept;
    for (int i = 0; i < win.entryCount; ++i) {
        Entry& entry = win.entries[i];
        if (entry.isRecord && entry.firstSlot >= first) entry.firstSlot = newIndex[entry.firstSlot];
    }
    win.slotCount = kept;
    win.arenaUsed = write;
}
