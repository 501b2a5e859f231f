#include "import/window.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "db/connection.h"
#include "import/report.h"
#include "import/statement.h"
#include "import/textset.h"
#include "import/ways.h"
#include "import/windowdata.h"
#include "import/windowfill.h"
#include "import/windowoutput.h"
#include "import/windowsetpath.h"

namespace {

// The one owner of the windows' state: the rooms of the windows get the
// window and what the run's windows share as arguments.
WindowState State;
WindowPair Pair;

// No record waits for its output, here or ahead: a line's own output may
// go at once.
bool nothingWaits() {
    return Pair.filling->recordsQueued == 0 && Pair.ahead == nullptr;
}

// A full window: sent ahead where it goes as one upsert, else sent and
// written now.
bool passWindowOn() {
    if (!landAhead(State, Pair)) return false;
    if (State.ways.setPath == 1 && sendAhead(State, Pair)) return true;
    return flushWindow();
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
    return limit >= 4 * OneRecordBytes ? limit : 0;
}

}  // namespace

void startWindows(const ImportMember& member, int32_t recordLength, int records) {
    Pair.ahead = nullptr;
    clearWindow(Pair.windows[1]);
    Pair.filling = &Pair.windows[0];
    clearWindow(*Pair.filling);
    State.member = &member;
    State.recordLength = recordLength;
    State.records = records > MaxWindowRecords ? MaxWindowRecords : (records < 1 ? 1 : records);
    const size_t serverBytes = State.records > 1 ? windowBytesTheServerTakes() : 0;
    State.multiStatements = serverBytes > 0 && enableMultiStatements();
    State.byteLimit = State.multiStatements ? serverBytes : WindowStatementBytes;
    if (!State.multiStatements) State.records = 1;
    State.ways = Ways();
    Pair.filling->stopEntry = -1;
    clearTextSet(State.knownDuplicates);
}

bool queueLoneNewline(long lineNumber) {
    if (nothingWaits()) {
        Tally.lines++;
        Tally.loneNewlines++;
        return true;
    }
    if (windowIsFull(*Pair.filling, 0) && !passWindowOn()) return false;
    Window& win = *Pair.filling;
    int index = addEntry(win, "", lineNumber, 1, false);
    win.entries[index].isLoneNewline = true;
    return true;
}

bool queueWrongLength(const char* shown, long lineNumber, long actualLength) {
    if (nothingWaits()) {
        // Nothing waits before it: its output goes now.
        writeWrongLengthNow(shown, lineNumber, actualLength, State.recordLength);
        return true;
    }
    if (windowIsFull(*Pair.filling, strlen(shown)) && !passWindowOn()) return false;
    addEntry(*Pair.filling, shown, lineNumber, actualLength, false);
    return true;
}

bool queueRecord(const char* line, long lineNumber) {
    if (runStop() != RunStop::None) return false;
    if (windowIsFull(*Pair.filling, static_cast<size_t>(State.recordLength)) && !passWindowOn()) return false;
    Window& win = *Pair.filling;
    const int slotsBefore = win.slotCount;
    const size_t arenaBefore = win.arenaUsed;
    int index = addEntry(win, line, lineNumber, State.recordLength, true);
    Entry& entry = win.entries[index];
    planEntry(State, win, entry);
    // Deciding may ask the server, which must have answered what went ahead.
    if (Pair.ahead != nullptr && waysToDecide(State.ways, entry.plan, State.records > 1) && !landAhead(State, Pair)) {
        return false;
    }
    decideWays(State.ways, *State.member, entry.plan, State.records > 1);
    size_t keyLength = 0;
    if (!keyFitsTheWindow(State, win, entry, keyLength)) {
        dropLastEntry(win, slotsBefore, arenaBefore);
        if (!passWindowOn()) return false;
        return queueRecord(line, lineNumber);
    }
    if (!formatEntry(State, win, index)) {
        // The statement that does not fit is never sent: the window before
        // it goes, then the run ends.
        dropLastEntry(win, slotsBefore, arenaBefore);
        if (!flushWindow()) return false;
        Tally.lines++;
        echoLine(line);
        stopForLongStatement();
        reportStatementTooLong(lineNumber);
        return false;
    }
    if (keyLength > 0) addToTextSet(win.keys, std::string_view(State.keyText, keyLength));
    win.recordsQueued++;
    if (win.recordsQueued >= State.records || win.arenaUsed >= State.byteLimit) return passWindowOn();
    return true;
}

bool flushWindow() {
    if (!landAhead(State, Pair)) return false;
    Window& win = *Pair.filling;
    if (win.entryCount == 0) return true;
    const int cursor = State.ways.setPath == 1 ? sendUpsert(State, win) : 0;
    completeWindow(State, win, cursor);
    return runStop() == RunStop::None;
}
