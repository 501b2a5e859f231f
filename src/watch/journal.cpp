#include "watch/journal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/fd.h"
#include "watch/child.h"
#include "watch/names.h"

namespace {

constexpr int Found = 0;
constexpr int Absent = 1;
constexpr int AnswerLimitMs = 60 * 1000;
constexpr size_t MaxAnswer = 4096;

// Reads the child's answer until it closes the pipe or the time is up.
bool readAnswer(int fd, std::string& text) {
    char piece[512];
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        const int got = poll(&ready, 1, AnswerLimitMs);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        const ssize_t n = read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (text.size() < MaxAnswer) text.append(piece, static_cast<size_t>(n));
    }
}

// Runs "journal-program ARGS" in the importer's working directory and
// returns its exit status with its answer (from its standard output).
int askProgram(const WatchConfig& config, std::vector<std::string> args, std::string& answer) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    ChildRequest child;
    child.arguments = std::move(args);
    child.arguments.insert(child.arguments.begin(), config.journalProgram);
    child.workdir = config.workdir;
    child.output = writing.get();
    pid_t pid = -1;
    const bool started = startChild(child, pid);
    writing.reset();
    if (!started) return -1;
    const bool answered = readAnswer(reading.get(), answer);
    if (!answered) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return answered && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

JournalAnswer answerOf(int status) {
    if (status == Found) return JournalAnswer::Found;
    return status == Absent ? JournalAnswer::Absent : JournalAnswer::CannotAsk;
}

}  // namespace

JournalAnswer askRunInJournal(const WatchConfig& config, const std::string& runId, RunOutcome& run) {
    std::string answer;
    const JournalAnswer said = answerOf(askProgram(config, {"run", config.journal, runId}, answer));
    if (said != JournalAnswer::Found) return said;
    char date[16] = "";
    char time[16] = "";
    long failed = 0;
    long wrong = 0;
    int status = 0;
    if (sscanf(answer.c_str(), "committed %15s %15s %ld %ld %d", date, time, &failed, &wrong, &status) != 5) {
        return JournalAnswer::CannotAsk;
    }
    run.reported = true;
    run.committed = true;
    run.failed = failed;
    run.wrongLength = wrong;
    run.status = status;
    run.ending = std::string("committed on ") + date + " " + time + " UTC, as the journal says";
    return JournalAnswer::Found;
}

JournalAnswer askFileInJournal(const WatchConfig& config, const std::string& sha256, const std::string& typeCode,
                               std::string& earlier) {
    std::string answer;
    const JournalAnswer said = answerOf(askProgram(config, {"file", config.journal, sha256, typeCode}, answer));
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    earlier = shownName(answer);
    return said;
}
