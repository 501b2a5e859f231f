#include "import/windowsetpath.h"

#include "db/connection.h"
#include "import/statement.h"
#include "import/windowfill.h"
#include "import/windowgather.h"
#include "import/windowoutput.h"
#include "import/windowquery.h"
#include "import/windowsend.h"

namespace {

// The answers a set-path query starts with: the savepoint's, the upsert's.
constexpr int UpsertAnswers = 2;

// The first record of the window with an update.
int firstUpdateEntry(const Window& win) {
    for (int s = 0; s < win.slotCount; ++s) {
        if (win.slots[s].afterUpdate) return win.slots[s].entry;
    }
    return -1;
}

// The query of a set-path window in run.query: the savepoint and the
// upsert, and behind them, where the window's Sto and link rows may be
// gathered, as many of their units as fit. Their rows run whatever the
// upsert gives, so they are sent only in the same query: a failed upsert
// ends it before them, and the savepoint undoes them with an upsert that is
// not clean. 0 when the window has no upsert.
size_t composeSetPathQuery(WindowState& run, Window& win) {
    win.tailUnits = 0;
    size_t length = composeUpsert(run, win, win.upsertTuples);
    if (length == 0 || !gathersBeforeUpsert(run, win)) return length;
    const int ignored = gatherIgnoredRows(run, win);
    int units = planUnits(run, win, 0);
    while (units > 0 && run.units[units - 1].lastSlot >= ignored) units--;
    win.tailUnits = appendUnits(run, win, 0, units, length);
    return length;
}

// Rows that ran behind an upsert that is undone are undone with it: their
// answers count only where one ended the transaction.
void dropTailAnswers(Window& win, const StatementResult* answers, int count) {
    for (int u = 0; u < count && runStop() == RunStop::None; ++u) {
        checkedResult(answers[u]);
        if (runStop() != RunStop::None) stopAt(win, firstUpdateEntry(win), answers[u].code);
    }
}

// What the set path's query gave: the savepoint's result, the upsert's,
// then those of the rows behind it. Every record's outcome one by one is
// "written", whatever its update and insert each did, so a clean upsert (no
// error, no warning, every row taken) writes them all; anything else is
// undone and the window goes the exact way, a lock it met included. A
// failure that ends the transaction stops the run at the window's first
// such record, as it would inside a multi-row INSERT. Returns the slot from
// which the rest of the window goes.
int applyUpsert(WindowState& run, Window& win, const StatementResult* results, int answered) {
    const StatementResult& upsert = results[answered >= UpsertAnswers ? 1 : 0];
    const bool metALock = upsert.code == ErrorLockWaitTimeout;
    if (!metALock) checkedResult(upsert);
    if (runStop() != RunStop::None) {
        stopAt(win, firstUpdateEntry(win), upsert.code);
        return 0;
    }
    const bool clean = answered >= UpsertAnswers && upsert.code == 0 && upsert.warnings == 0 &&
                       upsert.records == win.upsertTuples;
    if (!clean) {
        if (answered > UpsertAnswers) dropTailAnswers(win, results + UpsertAnswers, answered - UpsertAnswers);
        if (answered >= UpsertAnswers && runStop() == RunStop::None) {
            const StatementResult undo = runStatement(SetPathUndo);
            checkedResult(undo);
            if (runStop() != RunStop::None) stopAt(win, firstUpdateEntry(win), undo.code);
        }
        return 0;
    }
    for (int s = 0; s < win.slotCount; ++s) {
        if (win.slots[s].afterUpdate) resolve(win, win.entries[win.slots[s].entry], 0);
    }
    // The units behind the upsert are the first the window plans now.
    int cursor = 0;
    if (win.tailUnits > 0 && answered > UpsertAnswers) {
        planUnits(run, win, 0);
        applyAnswers(run, win, win.tailUnits, results + UpsertAnswers, answered - UpsertAnswers, cursor);
    }
    return cursor;
}

}  // namespace

int sendUpsert(WindowState& run, Window& win) {
    const size_t length = composeSetPathQuery(run, win);
    if (length == 0) return 0;
    const int answered = runStatements(run.query, length, run.results, UpsertAnswers + win.tailUnits);
    return applyUpsert(run, win, run.results, answered);
}

void completeWindow(WindowState& run, Window& win, int cursor) {
    if (runStop() == RunStop::None) sendSlots(run, win, cursor);
    writeOutput(run, win);
    clearWindow(win);
}

bool sendAhead(WindowState& run, WindowPair& pair) {
    const size_t length = composeSetPathQuery(run, *pair.filling);
    if (length == 0) return false;
    sendStatements(run.query, length);
    pair.ahead = pair.filling;
    pair.filling = pair.filling == &pair.windows[0] ? &pair.windows[1] : &pair.windows[0];
    clearWindow(*pair.filling);
    return true;
}

bool landAhead(WindowState& run, WindowPair& pair) {
    if (pair.ahead != nullptr) {
        Window& landing = *pair.ahead;
        pair.ahead = nullptr;
        const int answered = readStatements(run.results, UpsertAnswers + landing.tailUnits);
        const int cursor = applyUpsert(run, landing, run.results, answered);
        completeWindow(run, landing, cursor);
    }
    if (runStop() != RunStop::None) clearWindow(*pair.filling);
    return runStop() == RunStop::None;
}
