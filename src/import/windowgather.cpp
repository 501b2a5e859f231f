#include "import/windowgather.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "import/textset.h"
#include "import/windowfill.h"

namespace {

// A Sto or link row: a statement of its own whose result decides nothing.
bool isIgnoredRow(const Window& win, const Slot& slot) {
    return !slot.afterUpdate && stepOf(win, slot).role == StepRole::Ignored;
}

// The gathered order of the window's slots, in run.gatherKeys.
void gatherKeys(WindowState& run, const Window& win) {
    clearTextSet(run.windowTexts);
    for (int s = 0; s < win.slotCount; ++s) {
        const Slot& slot = win.slots[s];
        GatherKey key = {true, 0, false, s};
        if (isIgnoredRow(win, slot)) {
            const std::string_view text(win.arena + slot.offset, slot.length);
            const bool repeat = textSetContains(run.windowTexts, text);
            if (!repeat) addToTextSet(run.windowTexts, text);
            key = {false, slot.step, repeat, s};
        }
        run.gatherKeys[s] = key;
    }
    std::sort(run.gatherKeys, run.gatherKeys + win.slotCount);
}

}  // namespace

bool gathersBeforeUpsert(const WindowState& run, const Window& win) {
    if (run.ways.groupIgnored != 1 || win.gathered) return false;
    bool any = false;
    for (int s = 0; s < win.slotCount; ++s) {
        const Slot& slot = win.slots[s];
        if (isIgnoredRow(win, slot)) {
            any = true;
        } else if (stepOf(win, slot).role != StepRole::Update) {
            return false;
        }
    }
    return any;
}

// The tables of these rows have no trigger and no foreign key, and neither
// has the table of the upsert (the set path's rules), so a row meets only
// its own table's rows, and each table keeps its rows' order. A repeat goes
// after its step's multi-row INSERT, where it meets what it met one
// statement per query: its text's row, or the same refusal or failure. The
// arena is rewritten in the new order (dropKnownDuplicates relies on the
// texts standing in slot order).
int gatherIgnoredRows(WindowState& run, Window& win) {
    gatherKeys(run, win);
    size_t used = 0;
    int ignored = 0;
    for (int i = 0; i < win.slotCount; ++i) {
        const GatherKey& key = run.gatherKeys[i];
        Slot slot = win.slots[key.slot];
        memcpy(run.scratch + used, win.arena + slot.offset, slot.length + 1);
        if (slot.afterUpdate && !slot.tooLong) slot.insertAt = slot.insertAt - slot.offset + used;
        slot.offset = used;
        if (!key.other) {
            slot.prefix = key.repeat ? 0 : insertPrefixLength(std::string_view(run.scratch + used, slot.length));
            ignored++;
        }
        used += slot.length + 1;
        run.gatheredSlots[i] = slot;
    }
    memcpy(win.arena, run.scratch, used);
    win.arenaUsed = used;
    memcpy(win.slots, run.gatheredSlots, sizeof(Slot) * static_cast<size_t>(win.slotCount));
    for (int i = 0; i < win.entryCount; ++i) win.entries[i].firstSlot = win.slotCount;
    for (int s = win.slotCount - 1; s >= 0; --s) win.entries[win.slots[s].entry].firstSlot = s;
    win.gathered = true;
    return ignored;
}
