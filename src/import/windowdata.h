// The data of a run's statement windows: the lines of one window as
// entries, their statements as slots in the window's arena, and what the
// windows of a run share. The rooms of the windows (windowfill.cpp,
// windowquery.cpp, windowsend.cpp, windowsetpath.cpp, windowoutput.cpp)
// take the window and the run-wide state they work on as arguments;
// window.cpp owns both.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "db/connection.h"
#include "import/member.h"
#include "import/rowkey.h"
#include "import/statement.h"
#include "import/textset.h"
#include "import/ways.h"

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
constexpr int MaxWindowRecords = 4096;
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
    bool ungrouped = false;   // a row whose result is ignored that failed in a multi-row INSERT
};

// A statement as it travels: one slot, or the inserts of several slots
// folded into one multi-row INSERT.
struct Unit {
    int firstSlot;
    int lastSlot;
    bool group;
};

// The lines of one window and their statements, until its output is
// written.
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
    int upsertTuples = 0;         // the rows of its upsert, once composed
    bool gathered = false;        // its Sto and link rows stand first, gathered (windowgather.h)
    int tailUnits = 0;            // the units of those rows sent behind its upsert
};

// Where a slot goes when a window is gathered: the rows whose results are
// ignored first, by the plan's step, a text that repeats one before it in
// the window after those that do not, in file order within that; every
// other slot after them, in file order.
struct GatherKey {
    bool other;
    int step;
    bool repeat;
    int slot;
    bool operator<(const GatherKey& b) const {
        if (other != b.other) return b.other;
        if (step != b.step) return step < b.step;
        if (repeat != b.repeat) return b.repeat;
        return slot < b.slot;
    }
};

// There are two windows: while the server works on one window's upsert
// (sent ahead), the next window is filled.
struct WindowPair {
    Window windows[2];
    Window* filling = &windows[0];   // the window being filled
    Window* ahead = nullptr;         // the window whose upsert the server works on
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
    TextSet windowTexts;          // Sto/link texts met in the window being gathered
    char scratch[ArenaSize];      // the arena rewritten in the gathered order
    GatherKey gatherKeys[MaxSlots];
    Slot gatheredSlots[MaxSlots];
    int slotMoves[MaxSlots + 1];  // where each slot went when duplicates were dropped
    RecordRow row;
    char keyText[RowKeyTextSize];
};

// The line an entry holds, as it was read.
inline const char* lineOf(const Window& win, const Entry& entry) {
    return win.lines + entry.lineOffset;
}

// The plan's step a slot's statement belongs to.
inline const RecordStep& stepOf(const Window& win, const Slot& slot) {
    return win.entries[slot.entry].plan.steps[slot.step];
}

// The server's text of an entry's failure, kept for standard error; empty
// when there was no room to keep it.
inline const char* errorTextOf(const Window& win, const Entry& entry) {
    return entry.errorText >= 0 ? win.errorTexts + entry.errorText : "";
}
