// How the records of a window may travel together on this server. A window
// changes how statements travel, never what they do: each way of sending
// more than one record at a time is used only where the server's catalogue
// (serverfacts.h) shows that it cannot make the outcome differ from one
// statement per query. Decided once per run, when the first record that
// needs a way is planned; standard error names, once, what is ruled out and
// why.
#pragma once

#include "import/member.h"
#include "import/serverfacts.h"

// -1 not yet decided, 0 no, 1 yes.
struct Ways {
    int groups = -1;           // plain inserts as multi-row INSERTs
    int wrapInserts = -1;      // the insert after an update in the update's query
    int setPath = -1;          // update-else-insert windows as one upsert
    int skipDuplicates = -1;   // Sto and link texts refused once are not sent again
    int groupIgnored = -1;     // a set-path window's Sto and link rows as multi-row INSERTs
    bool sessionRead = false;
    SessionFacts session;
};

// Decides what the plan's steps need and is not decided yet. Without
// windows (one statement per query) every way stays off.
void decideWays(Ways& ways, const ImportMember& member, const RecordPlan& plan, bool windows);

// Whether decideWays has something to decide (and so to ask the server) for
// the plan.
bool waysToDecide(const Ways& ways, const RecordPlan& plan, bool windows);
