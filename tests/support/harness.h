// Support for the integration tests: a temporary directory tree laid out as
// an operator's machine (settings two levels above the working directory),
// running the real program as a process, and an administrative connection
// to the throwaway server that the test fixture started.
#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kt {

// The login that scripts/testdb creates for the program.
extern const char* const TestLogin;
extern const char* const TestPassword;
// The server's root account, which the administrative connection uses.
extern const char* const AdminLogin;
extern const char* const AdminPassword;

// How long a run may take before the harness kills it.
constexpr int DefaultRunTimeoutSeconds = 120;

struct RunResult {
    std::string out;   // everything the program wrote to standard output, as bytes
    std::string err;   // and to standard error
    int status = -1;   // exit status (0..255), or -1 when it did not exit normally
    long maxRssKb = -1;   // the process's peak resident set size in KiB
};

// A program started without waiting for it; Sandbox::wait collects it.
struct RunningProgram {
    int pid = -1;
    int stdoutFd = -1;   // read end of the pipe on its standard output
    int stderrFd = -1;   // read end of its standard error (a pipe, or a terminal's master)
};

// <root>/Files/Corvantis.Ini holds the settings; <root>/in/work is the
// working directory of every run, so "..\..\Files\Corvantis.Ini" finds them.
class Sandbox {
public:
    Sandbox();                       // writes settings for the test login
    ~Sandbox();                      // removes the whole tree
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    std::string workDir() const;     // <root>/in/work
    std::string path(const std::string& relativeToWorkDir) const;

    void writeFile(const std::string& relativeToWorkDir, const std::string& bytes) const;
    std::string readFile(const std::string& relativeToWorkDir) const;
    bool exists(const std::string& relativeToWorkDir) const;

    // Writes <root>/Files/Corvantis.Ini with kelvora-settings.
    void writeSettings(const std::string& login, const std::string& password,
                       const std::string& dbSystem, const std::string& host) const;

    // Runs build/Kelvora_MYSQL with args in workDir(); stdout captured.
    RunResult run(const std::vector<std::string>& args) const;
    // The same with NAME=VALUE settings added to its environment, and
    // standard error on a terminal of its own when asked.
    RunResult run(const std::vector<std::string>& environment, const std::vector<std::string>& args,
                  bool stderrOnTerminal = false) const;

    // The same run split in two, for tests that act while the program runs:
    // start returns at once; wait reads the output and reaps the process.
    // The program blocks once its output fills the pipe, so a test that
    // expects much output calls wait soon.
    RunningProgram start(const std::vector<std::string>& args, bool stderrOnTerminal = false) const;
    RunningProgram start(const std::vector<std::string>& environment, const std::vector<std::string>& args,
                         bool stderrOnTerminal = false) const;
    RunResult wait(RunningProgram& program, int timeoutSeconds = DefaultRunTimeoutSeconds) const;

private:
    std::string root_;
};

// A site for kelvora-watch in a sandbox: drop/, archive/ and failed/ beside
// Files/ and in/, and a configuration whose [site] points at them and at
// the program under test, followed by the [file ...] sections given. The
// settle time is 1 s, the least the watcher takes.
class WatchSite {
public:
    explicit WatchSite(const std::string& fileSections, int settleSeconds = 1);

    const Sandbox& box() const { return box_; }
    std::string config() const;
    std::string folder(const std::string& name) const;   // <root>/drop, <root>/archive, ...

    // Writes a file into drop/ in one piece.
    void deliver(const std::string& name, const std::string& bytes) const;
    // The run folders in archive/ or failed/, oldest first.
    std::vector<std::string> runFolders(const std::string& base) const;
    // A file in a run folder, as bytes.
    std::string runFile(const std::string& base, const std::string& runFolder, const std::string& name) const;

    // kelvora-watch --once (and the options given), run to its end, once
    // what was just delivered has settled.
    RunResult once(const std::vector<std::string>& options = {}) const;
    // The same with NAME=VALUE settings added to its environment.
    RunResult once(const std::vector<std::string>& environment, const std::vector<std::string>& options) const;
    // kelvora-watch following the folder, started without waiting.
    RunningProgram follow(const std::vector<std::string>& options = {}) const;
    // The same started through a wrapper command (its program and
    // arguments), which runs the watcher as its last arguments: a watcher
    // with fewer rights than the test's.
    RunningProgram followUnder(const std::vector<std::string>& wrapper, const std::vector<std::string>& options) const;

private:
    Sandbox box_;
};

// A counter of the rows ever inserted into RURUVURO.MGSST20P, which a
// replace import cannot hide: a file imported twice counts its records
// twice. Rolled-back inserts do not count. insertsSeen reads it.
void countInserts();
long long insertsSeen();

// Latin-1 text as UTF-8: each byte from 0x80 up becomes two.
std::string utf8Of(const std::string& latin1);

// A file's bytes; empty when it cannot be read.
std::string fileText(const std::string& path);

// A 20P record of the terminal "T<number>", and the records first to last.
std::string record20P(int number);
std::string records20P(int first, int last);

using Cell = std::optional<std::string>;   // nullopt for SQL NULL
using Row = std::vector<Cell>;

// Administrative connection (root) to the fixture's server, schema RURUVURO.
// Any failure fails the calling test with the server's message.
void exec(const std::string& sql);
std::vector<Row> query(const std::string& sql);
long long countRows(const std::string& table);

// Drops and recreates every table from sql/schema.sql, so each test starts
// from empty tables.
void resetSchema();

// Drops the journal's database KELVORA and creates it again from
// sql/journal.sql, the test login allowed to select and insert in
// KELVORA.RUNS.
void resetJournal();

// The lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

// A committed row of MGSST20P that a run in ReplaceMode would delete: still
// there means the run's transaction never took effect.
void insertSurvivor();
// The terminals of MGSST20P, in order.
std::vector<Row> terminalsInTable();

// Fixed-width record text: pads or cuts value to width with blanks.
std::string field(const std::string& value, int width);

// Runs a shell command, returns its exit status; for starting and stopping
// the server in fault tests.
int shell(const std::string& command);

// Runs any program with args in workDir, stdout captured as bytes; what
// Sandbox::run and the settings writer use.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir);
RunningProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, bool stderrOnTerminal = false);
RunResult waitProgram(RunningProgram& running, int timeoutSeconds = DefaultRunTimeoutSeconds);
// Reads the running program's standard error until it holds text; false
// when the time runs out or the program closes it first. What was read is
// appended to seen (waitProgram returns only the rest).
bool waitForError(RunningProgram& running, const std::string& text, std::string& seen, int timeoutSeconds);

// Like exec, but a failing statement is not a test failure: returns the
// server's error number (0 on success), for tests that expect an error.
int tryExec(const std::string& sql);

// A second administrative connection with autocommit off, for tests that
// hold locks against a running import: its statements form one transaction
// until it commits or rolls back, or the session ends (then it rolls back).
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    int exec(const std::string& sql);   // the error number, 0 on success

private:
    void* handle_ = nullptr;
};

// information_schema.INNODB_TRX is refreshed only when it has not been read
// for 100 ms, so polls are further apart than that.
constexpr int PollIntervalMs = 150;

// Polls until done() holds; false when the time runs out first.
template <typename Condition>
bool waitFor(Condition done, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(PollIntervalMs));
    }
    return done();
}

// The thread of a program while it waits for a lock in the statement that
// begins with statementStart, or -1. INNODB_TRX may still show a
// transaction that has ended; the process list is current.
long waitingThread(const std::string& statementStart);

// Closes the administrative connection; the next call opens a new one. For
// tests that stop or restart the server.
void closeAdminConnection();

// The source tree, and the directory of the fixture's server (scripts/testdb).
std::string sourceDir();
std::string testdbDir();

}  // namespace kt
