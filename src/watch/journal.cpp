#include "watch/journal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "watch/child.h"
#include "watch/names.h"

namespace {

constexpr int Found = 0;
constexpr int Absent = 1;
constexpr double AnswerLimitSeconds = 60;
constexpr size_t MaxAnswer = 4096;
constexpr size_t PieceBytes = 512;

// Programs killed at their deadline that had not ended yet: one stuck in
// the kernel (a hung mount, say) may take its time to die, and the loop
// must not wait for it. They are reaped later, without waiting.
std::vector<pid_t> killedUnreaped;

// Reaps those of the killed programs that have ended since.
void reapKilled() {
    std::vector<pid_t> still;
    for (pid_t pid : killedUnreaped) {
        pid_t got = 0;
        while ((got = waitpid(pid, nullptr, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (got == 0) still.push_back(pid);
    }
    killedUnreaped.swap(still);
}

// A pipe whose reading end the loop keeps (non-blocking) and whose
// writing end goes to the child.
bool openPipe(UniqueFd& reading, UniqueFd& writing) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    reading.reset(ends[0]);
    writing.reset(ends[1]);
    return true;
}

// A question that is over before it was asked, and why.
std::shared_ptr<JournalAsk> notAsked(std::shared_ptr<JournalAsk> ask, const std::string& why) {
    ask->over = true;
    ask->trouble = why;
    return ask;
}

// Starts "journal-program ARGS" in the importer's working directory, its
// standard output and error into pipes the loop reads.
std::shared_ptr<JournalAsk> startAsk(const WatchConfig& config, JournalQuestion question,
                                     std::vector<std::string> args, double now) {
    reapKilled();
    auto ask = std::make_shared<JournalAsk>();
    ask->question = question;
    ask->deadline = now + AnswerLimitSeconds;
    UniqueFd output;
    UniqueFd error;
    if (!openPipe(ask->answerFd, output) || !openPipe(ask->troubleFd, error)) {
        return notAsked(ask, std::string("no pipe for its answer: ") + strerror(errno));
    }
    ChildRequest child;
    child.arguments = std::move(args);
    child.arguments.insert(child.arguments.begin(), config.journalProgram);
    child.workdir = config.workdir;
    child.output = output.get();
    child.error = error.get();
    child.group = ChildGroup::Own;
    if (!startChild(child, ask->pid)) {
        return notAsked(ask, config.journalProgram + " cannot be run: " + strerror(errno));
    }
    return ask;
}

// Appends what a pipe holds now to text, up to MaxAnswer bytes; false once
// the writer closed it.
bool drainPipe(int fd, std::string& text) {
    char piece[PieceBytes];
    for (;;) {
        const ssize_t got = read(fd, piece, sizeof piece);
        if (got > 0) {
            if (text.size() < MaxAnswer) text.append(piece, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got != 0;
    }
}

// The program's end, with its exit status when it ended by itself; true
// once it is reaped (options: WNOHANG to look only).
bool reapAsk(JournalAsk& ask, int options) {
    if (ask.pid <= 0) return true;
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(ask.pid, &status, options)) < 0 && errno == EINTR) {
    }
    if (got == 0) return false;
    ask.status = got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ask.pid = -1;
    return true;
}

// A question that ran out of time: the program is ended, and the question
// counts as not asked. It is reaped now if it died at once, else later.
void giveUp(JournalAsk& ask, const std::string& why) {
    if (kill(-ask.pid, SIGKILL) != 0) kill(ask.pid, SIGKILL);   // its group, a wrapper's children too
    if (!reapAsk(ask, WNOHANG)) {
        killedUnreaped.push_back(ask.pid);
        ask.pid = -1;
    }
    ask.status = -1;
    ask.trouble = why;
    ask.over = true;
}

// Reads what a pipe of the program holds now; closes it at its end.
void readFrom(UniqueFd& fd, std::string& text) {
    if (fd.valid() && !drainPipe(fd.get(), text)) fd.reset();
}

JournalAnswer answerOf(const JournalAsk& ask) {
    if (ask.status == Found) return JournalAnswer::Found;
    return ask.status == Absent ? JournalAnswer::Absent : JournalAnswer::CannotAsk;
}

}  // namespace

std::shared_ptr<JournalAsk> askRunInJournal(const WatchConfig& config, const std::string& runId, double now) {
    return startAsk(config, JournalQuestion::Run, {"run", config.journal, runId}, now);
}

std::shared_ptr<JournalAsk> askFileInJournal(const WatchConfig& config, const std::string& sha256,
                                             const std::string& typeCode, double now) {
    return startAsk(config, JournalQuestion::File, {"file", config.journal, sha256, typeCode}, now);
}

bool journalAnswered(JournalAsk& ask, double now) {
    if (ask.over) return true;
    readFrom(ask.troubleFd, ask.trouble);
    readFrom(ask.answerFd, ask.answer);
    if (!ask.answerFd.valid() && reapAsk(ask, WNOHANG)) {   // it closed its output and ended
        ask.over = true;
    } else if (now >= ask.deadline) {
        giveUp(ask, "no answer within " + std::to_string(static_cast<int>(AnswerLimitSeconds)) + " s");
    }
    if (ask.over) {
        readFrom(ask.troubleFd, ask.trouble);
        ask.answerFd.reset();
        ask.troubleFd.reset();
    }
    return ask.over;
}

void endAsk(JournalAsk& ask) {
    if (ask.over) return;
    giveUp(ask, "the watcher stopped before the answer came");
    ask.answerFd.reset();
    ask.troubleFd.reset();
}

std::string journalTrouble(const JournalAsk& ask) {
    std::string said = ask.trouble;
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    const size_t lastLine = said.rfind('\n');
    if (lastLine != std::string::npos) said.erase(0, lastLine + 1);
    if (said.empty()) said = "it ended with exit status " + std::to_string(ask.status) + " and no word";
    return shownName(said);
}

JournalAnswer runAnswer(const JournalAsk& ask, RunOutcome& run) {
    const JournalAnswer said = answerOf(ask);
    if (said != JournalAnswer::Found) return said;
    char date[16] = "";
    char time[16] = "";
    long failed = 0;
    long wrong = 0;
    int status = 0;
    long lines = 0;
    long written = 0;
    const int got = sscanf(ask.answer.c_str(), "committed %15s %15s %ld %ld %d %ld %ld", date, time, &failed, &wrong,
                           &status, &lines, &written);
    if (got != 5 && got != 7) return JournalAnswer::CannotAsk;
    run.reported = true;
    run.committed = true;
    run.failed = failed;
    run.wrongLength = wrong;
    run.status = status;
    if (got == 7) {
        run.lines = lines;
        run.written = written;
    }
    run.ending = std::string("committed on ") + date + " " + time + " UTC, as the journal says";
    return JournalAnswer::Found;
}

JournalAnswer fileAnswer(const JournalAsk& ask, std::string& earlier) {
    std::string answer = ask.answer;
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    earlier = shownName(answer);
    return answerOf(ask);
}
