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
#include "import/windowdata.h"
#include "import/windowquery.h"
#include "import/windowsend.h"
#include "import/windowfill.h"
#include "import/windowoutput.h"

namespace {

WindowState State;
WindowPair Pair;

// ------------------------------------------------------------- set path

// The first record of the window with an update.
int firstUpdateEntry(const Window& win) {
    for (int s = 0; s < win.slotCount; ++s) {
        if (win.slots[s].afterUpdate) return win.slots[s].entry;
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
void applyUpsert(Window& win, const StatementResult* results, int answered, int tuples) {
    const StatementResult& upsert = results[answered - 1];
    const bool metALock = upsert.code == ErrorLockWaitTimeout;
    if (!metALock) checkedResult(upsert);
    if (runStop() != RunStop::None) {
        stopAt(win, firstUpdateEntry(win), upsert.code);
        return;
    }
    const bool clean = answered == 2 && upsert.code == 0 && upsert.warnings == 0 && upsert.records == tuples;
    if (!clean) {
        if (answered == 2) {
            const StatementResult undo = runStatement(SetPathUndo);
            checkedResult(undo);
            if (runStop() != RunStop::None) stopAt(win, firstUpdateEntry(win), undo.code);
        }
        return;
    }
    for (int s = 0; s < win.slotCount; ++s) {
        if (win.slots[s].afterUpdate) resolve(win, win.entries[win.slots[s].entry], 0);
    }
}

// Sends the window's upsert and takes its result.
void sendUpsert(WindowState& run, Window& win) {
    int tuples = 0;
    const size_t length = composeUpsert(run, win, tuples);
    if (length == 0) return;
    StatementResult results[2];
    const int answered = runStatements(run.query, length, results, 2);
    applyUpsert(win, results, answered, tuples);
}

// The rest of a window once its upsert, if it had one, is done: its
// statements in order, then its output.
void completeWindow(WindowState& run, Window& win) {
    if (runStop() == RunStop::None) sendSlots(run, win);
    writeOutput(run, win);
    clearWindow(win);
}

// ------------------------------------------------------------- ahead

// A full window on the set path goes ahead: its upsert is sent, and the
// next window is filled (its lines read, cut and formatted) while the
// server works. Its result is read, and whatever else the window needs is
// sent, before anything of the next window is sent: the server sees the
// statements of one window after another, as without sending ahead. False
// when the window has no upsert to send.
bool sendAhead(WindowState& run, WindowPair& pair) {
    int tuples = 0;
    const size_t length = composeUpsert(run, *pair.filling, tuples);
    if (length == 0) return false;
    sendStatements(run.query, length);
    pair.filling->tuplesAhead = tuples;
    pair.ahead = pair.filling;
    pair.filling = pair.filling == &pair.windows[0] ? &pair.windows[1] : &pair.windows[0];
    clearWindow(*pair.filling);
    return true;
}

// The window sent ahead, landed: its upsert's result taken, the rest of
// its statements sent, its output written. False once the run has
// stopped; the window being filled then holds lines read after the stop,
// and is dropped: nothing of them is written.
bool landAhead(WindowState& run, WindowPair& pair) {
    if (pair.ahead != nullptr) {
        Window& landing = *pair.ahead;
        pair.ahead = nullptr;
        StatementResult results[2];
        const int answered = readStatements(results, 2);
        applyUpsert(landing, results, answered, landing.tuplesAhead);
        completeWindow(run, landing);
    }
    if (runStop() != RunStop::None) clearWindow(*pair.filling);
    return runStop() == RunStop::None;
}

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
    if (State.ways.setPath == 1) sendUpsert(State, win);
    completeWindow(State, win);
    return runStop() == RunStop::None;
}
