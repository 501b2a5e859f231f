// The run journal (journal = SCHEMA.TABLE in [site]): each run gets an id
// and the SHA-256 of its checked file, which the importer writes into the
// journal inside its own transaction when it commits. So the journal knows
// whether a run whose end nobody saw committed, and whether a file was
// imported before. The watcher asks it through kelvora-journal, run in the
// importer's working directory with the importer's login, as a child whose
// answer the loop reads when it comes: a question never holds up the loop,
// and one that takes longer than its time limit is ended and counts as not
// asked.
#pragma once
#include <memory>
#include <string>
#include <sys/types.h>

#include "common/fd.h"
#include "watch/config.h"
#include "watch/importer.h"

enum class JournalAnswer { Found, Absent, CannotAsk };

// The two questions.
enum class JournalQuestion {
    File,   // whether a committed run imported this file (its SHA-256 and type code) before
    Run,    // whether this run committed
};

struct JournalAsk {
    JournalQuestion question = JournalQuestion::Run;
    pid_t pid = -1;
    UniqueFd answerFd;       // the program's standard output
    std::string answer;
    UniqueFd troubleFd;      // its standard error
    std::string trouble;     // what it said there, or why it could not be asked
    double deadline = 0;     // monotonic: ended then
    bool over = false;       // the answer is in, or the time is up
    int status = -1;         // the program's exit status; -1 when it gave none
};

// Starts a question; its answer comes in through journalAnswered. A program
// that cannot be started gives a question that is over at once, not asked.
std::shared_ptr<JournalAsk> askRunInJournal(const WatchConfig& config, const std::string& runId, double now);
std::shared_ptr<JournalAsk> askFileInJournal(const WatchConfig& config, const std::string& sha256,
                                             const std::string& typeCode, double now);

// Reads what has come of the answer without waiting; true once the question
// is over (the program ended, or was ended at its deadline).
bool journalAnswered(JournalAsk& ask, double now);

// Ends a question under way (the watcher stops): it counts as not asked.
void endAsk(JournalAsk& ask);

// Why a question that was not answered could not be asked, in a few words.
std::string journalTrouble(const JournalAsk& ask);

// Whether the run id has a row: Found fills run from it (committed, its
// counts, its exit status), Absent means nothing was committed.
JournalAnswer runAnswer(const JournalAsk& ask, RunOutcome& run);

// Whether a committed run imported the file before; earlier says which and
// when.
JournalAnswer fileAnswer(const JournalAsk& ask, std::string& earlier);
