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
#include "watch/argv.h"
#include "watch/names.h"

namespace {

constexpr int Found = 0;
constexpr int Absent = 1;
constexpr int AnswerLimitMs = 60 * 1000;
constexpr size_t MaxAnswer = 4096;
constexpr int ExecFailed = 127;

// In the child: the answer into the pipe, standard error to the watcher's,
// the importer's working directory, then the journal program.
[[noreturn]] void execAsker(const WatchConfig& config, int answer, std::vector<char*>& argv) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGIO, SIG_DFL);
    if (dup2(answer, STDOUT_FILENO) >= 0 && chdir(config.workdir.c_str()) == 0) {
        execv(argv[0], argv.data());
    }
    _exit(ExecFailed);
}

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

// Runs "journal-program ARGS" and returns its exit status with its answer.
int askProgram(const WatchConfig& config, std::vector<std::string> args, std::string& answer) {
    args.insert(args.begin(), config.journalProgram);
    std::vector<char*> argv = pointersTo(args);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) execAsker(config, pipeFds[1], argv);
    close(pipeFds[1]);
    const bool answered = pid > 0 && readAnswer(pipeFds[0], answer);
    close(pipeFds[0]);
    if (pid < 0) return -1;
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
