#include "import/windowsetpath.h"

#include "db/connection.h"
#include "import/statement.h"
#include "import/windowfill.h"
#include "import/windowoutput.h"
#include "import/windowquery.h"
#include "import/windowsend.h"

namespace {

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

}  // namespace

void sendUpsert(WindowState& run, Window& win) {
    int tuples = 0;
    const size_t length = composeUpsert(run, win, tuples);
    if (length == 0) return;
    StatementResult results[2];
    const int answered = runStatements(run.query, length, results, 2);
    applyUpsert(win, results, answered, tuples);
}

void completeWindow(WindowState& run, Window& win) {
    if (runStop() == RunStop::None) sendSlots(run, win);
    writeOutput(run, win);
    clearWindow(win);
}

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
