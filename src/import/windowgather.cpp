#include "import/windowgather.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "import/textset.h"
#include "import/windowfill.h"
#include "import/windowquery.h"

namespace {

// The order in which gathered rows go: by the plan's step, a text that
// repeats one before it in the window after those that do not, and in
// file order within that.
struct GatherKey {
    int step;
    bool repeat;
    int slot;
    bool operator<(const GatherKey& other) const {
        if (step != other.step) return step < other.step;
        if (repeat != other.repeat) return other.repeat;
        return slot < other.slot;
    }
};

// The order of the slots that are left, each marked as a repeat or not.
int gatherKeys(WindowState& run, const Window& win, GatherKey* keys) {
    int count = 0;
    clearTextSet(run.windowTexts);
    for (int s = 0; s < win.slotCount; ++s) {
        const Slot& slot = win.slots[s];
        if (isDone(win, slot)) continue;
        const std::string_view text(win.arena + slot.offset, slot.length);
        const bool repeat = textSetContains(run.windowTexts, text);
        if (!repeat) addToTextSet(run.windowTexts, text);
        keys[count++] = {slot.step, repeat, s};
    }
    std::sort(keys, keys + count);
    return count;
}

}  // namespace

bool onlyIgnoredRowsLeft(const WindowState& run, const Window& win) {
    if (run.ways.groupIgnored != 1 || win.slotCount == 0) return false;
    for (int s = 0; s < win.slotCount; ++s) {
        const Slot& slot = win.slots[s];
        if (!isDone(win, slot) && (slot.afterUpdate || stepOf(win, slot).role != StepRole::Ignored)) return false;
    }
    return true;
}

// The tables of these rows have no trigger and no foreign key, so a row
// meets only its own table's rows, and each table keeps its rows' order. A
// repeat goes after its step's multi-row INSERT, where it meets what it met
// one statement per query: its text's row, or the same refusal or failure.
// The arena is rewritten in the new order (dropKnownDuplicates relies on
// the texts standing in slot order).
void gatherIgnoredRows(WindowState& run, Window& win) {
    static GatherKey keys[MaxSlots];
    static Slot gathered[MaxSlots];
    const int count = gatherKeys(run, win, keys);
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        Slot slot = win.slots[keys[i].slot];
        memcpy(run.scratch + used, win.arena + slot.offset, slot.length + 1);
        slot.offset = used;
        slot.prefix = keys[i].repeat ? 0 : insertPrefixLength(std::string_view(run.scratch + used, slot.length));
        used += slot.length + 1;
        gathered[i] = slot;
    }
    memcpy(win.arena, run.scratch, used);
    win.arenaUsed = used;
    memcpy(win.slots, gathered, sizeof(Slot) * static_cast<size_t>(count));
    win.slotCount = count;
    for (int i = 0; i < win.entryCount; ++i) win.entries[i].firstSlot = count;
    for (int s = count - 1; s >= 0; --s) win.entries[win.slots[s].entry].firstSlot = s;
}
