#include "import/windowquery.h"

#include <cstring>
#include <string_view>

#include "import/plaindates.h"
#include "import/serverfacts.h"

namespace {

// A slot that cannot travel with the statements before it: an insert after
// an update that is bare (its update's count decides first) or too long (the
// run ends if the update changed no row), and a statement that goes alone.
bool travelsAlone(const Slot& slot) {
    return slot.alone || (slot.afterUpdate && (!slot.wrapped || slot.tooLong));
}

// The text a slot travels with: a wrapped insert that goes alone goes bare.
std::string_view textOf(const Window& win, const Slot& slot) {
    if (slot.alone && slot.afterUpdate) return std::string_view(win.arena + slot.insertAt, slot.insertLength);
    return std::string_view(win.arena + slot.offset, slot.length);
}

// A slot that may join a multi-row INSERT now: a plain insert with its
// prefix, whose record has not failed in one already.
bool isGroupable(const Window& win, const Slot& slot) {
    return slot.prefix > 0 && !slot.afterUpdate && !slot.ungrouped && !win.entries[slot.entry].noGroup;
}

// Whether slot b's insert can follow slot a's in one multi-row INSERT: the
// same builder, so the same fixed text before VALUES.
bool sameInsert(const Window& win, const Slot& a, const Slot& b) {
    return isGroupable(win, b) && stepOf(win, a).statement == stepOf(win, b).statement && b.prefix == a.prefix &&
           memcmp(win.arena + a.offset, win.arena + b.offset, a.prefix) == 0;
}

// What appendQuery leaves in used once a text did not fit run.query: every
// later text is refused too, and the caller sees that the query ran out of
// room.
constexpr size_t QueryOverflow = QuerySize + 1;

// Copies text to the end of the query being composed in run.query, as long
// as it fits.
void appendQuery(WindowState& run, size_t& used, std::string_view text) {
    if (used > QuerySize || text.size() > QuerySize - used) {
        used = QueryOverflow;
        return;
    }
    memcpy(run.query + used, text.data(), text.size());
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
void appendNoWait(WindowState& run, size_t& used) {
    if (run.ways.session.noWaitStatements) appendQuery(run, used, NoWaitPrefix);
}

// One multi-row INSERT: the member's own column list and each record's
// VALUES tuple from its own statement.
void appendGroup(WindowState& run, const Window& win, size_t& used, const Unit& unit) {
    const Slot& first = win.slots[unit.firstSlot];
    appendNoWait(run, used);
    appendQuery(run, used, std::string_view(win.arena + first.offset, first.prefix));
    for (int s = unit.firstSlot; s <= unit.lastSlot; ++s) {
        const Slot& slot = win.slots[s];
        appendQuery(run, used, s == unit.firstSlot ? " " : ", ");
        appendQuery(run, used, insertTuple(win.arena + slot.offset, slot.length, slot.prefix));
    }
}

// A record's VALUES tuple in the upsert, each date the server would give
// back as it stands written as a plain literal (plaindates.h).
void appendUpsertTuple(WindowState& run, size_t& used, std::string_view tuple) {
    PlainDate date;
    size_t from = 0;
    while (findPlainDate(tuple, from, date)) {
        appendQuery(run, used, tuple.substr(from, date.at - from));
        if (date.value.empty()) {
            appendQuery(run, used, "NULL");
        } else {
            appendQuery(run, used, "'");
            appendQuery(run, used, date.value);
            appendQuery(run, used, "'");
        }
        from = date.at + date.length;
    }
    appendQuery(run, used, tuple.substr(from));
}

// One unit's text at the end of the query.
void appendUnit(WindowState& run, const Window& win, size_t& used, const Unit& unit) {
    if (unit.group) {
        appendGroup(run, win, used, unit);
    } else {
        appendQuery(run, used, textOf(win, win.slots[unit.firstSlot]));
    }
}

}  // namespace

bool isDone(const Window& win, const Slot& slot) {
    return stepOf(win, slot).role == StepRole::Update && win.entries[slot.entry].resolved;
}

int planUnits(WindowState& run, const Window& win, int cursor) {
    int count = 0;
    for (int s = cursor; s < win.slotCount;) {
        if (isDone(win, win.slots[s])) {
            s++;
            continue;
        }
        if (count > 0 && (!run.multiStatements || travelsAlone(win.slots[s]))) break;
        Unit unit = {s, s, false};
        while (isGroupable(win, win.slots[s]) && unit.lastSlot + 1 < win.slotCount &&
               sameInsert(win, win.slots[s], win.slots[unit.lastSlot + 1])) {
            unit.lastSlot++;
        }
        // A record alone travels in its own statement, as it stands.
        unit.group = unit.lastSlot > s;
        run.units[count++] = unit;
        s = unit.lastSlot + 1;
        if (travelsAlone(win.slots[unit.firstSlot])) break;
    }
    return count;
}

int appendUnits(WindowState& run, const Window& win, int from, int units, size_t& used) {
    for (int u = from; u < units; ++u) {
        size_t after = used;
        if (after > 0) appendQuery(run, after, ";");
        appendUnit(run, win, after, run.units[u]);
        if (after > QuerySize) return u - from;
        used = after;
    }
    return units - from;
}

size_t composeQuery(WindowState& run, const Window& win, int& units) {
    size_t used = 0;
    units = appendUnits(run, win, 0, units, used);
    return used;
}

size_t composeUpsert(WindowState& run, const Window& win, int& tuples) {
    size_t used = 0;
    tuples = 0;
    appendQuery(run, used, SetPathSavepoint);
    appendQuery(run, used, ";");
    appendNoWait(run, used);
    for (int s = 0; s < win.slotCount; ++s) {
        const Slot& slot = win.slots[s];
        if (!slot.afterUpdate) continue;
        if (slot.tooLong || slot.prefix == 0) return 0;
        const char* insert = win.arena + slot.insertAt;
        if (tuples == 0) appendQuery(run, used, std::string_view(insert, slot.prefix));
        appendQuery(run, used, tuples == 0 ? " " : ", ");
        appendUpsertTuple(run, used, insertTuple(insert, slot.insertLength, slot.prefix));
        tuples++;
    }
    appendQuery(run, used, run.member->upsertClause);
    // One record gains nothing from an upsert: it goes the exact way, as
    // does a window whose upsert would not fit the query.
    return tuples > 1 && used <= QuerySize ? used : 0;
}
