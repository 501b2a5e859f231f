// Test support: sandbox trees, running programs as processes, and the
// administrative connection to the fixture's MariaDB server.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <mysql.h>

#ifndef KELVORA_PROGRAM
#error "KELVORA_PROGRAM must name the program under test"
#endif
#ifndef KELVORA_SETTINGS_TOOL
#error "KELVORA_SETTINGS_TOOL must name the settings writer"
#endif
#ifndef KELVORA_WATCH
#error "KELVORA_WATCH must name the watcher under test"
#endif
#ifndef KELVORA_SOURCE_DIR
#error "KELVORA_SOURCE_DIR must name the source tree"
#endif

namespace kt {

const char* const TestLogin = "kelvora";
const char* const TestPassword = "kelvora-test";
const char* const AdminLogin = "root";
const char* const AdminPassword = "kelvora-root";

namespace {

constexpr const char* SchemaName = "RURUVURO";
constexpr const char* SettingsRelativePath = "Files/Corvantis.Ini";
constexpr const char* WorkRelativePath = "in/work";
constexpr unsigned ErrorNoConnection = 2000;  // CR_UNKNOWN_ERROR
constexpr unsigned ErrorServerGone = 2006;    // CR_SERVER_GONE_ERROR
constexpr unsigned ErrorServerLost = 2013;    // CR_SERVER_LOST

// ---------------------------------------------------------------- processes

// The argv array for execv, pointing into args; built before fork so the
// child only calls async-signal-safe functions.
std::vector<char*> buildArgv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// In the forked child: stdin from /dev/null, stdout and stderr to the
// pipes (or the terminal) given, then exec. Never returns; 127 tells the
// parent that the exec failed.
[[noreturn]] void execChild(const std::vector<char*>& argv, const std::string& workDir,
                            int stdoutFd, int stderrFd = -1) {
    int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
    if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) dup2(stderrFd, STDERR_FILENO);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
}

// Reads both pipes (or a pipe and a terminal) until the child has closed
// them or the time is up; false on timeout. A terminal whose other end is
// closed answers EIO, which ends it like the end of a pipe.
bool drainOutputs(const int (&fds)[2], std::string* (&outs)[2], int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buffer[4096];
    bool open[2] = {fds[0] >= 0, fds[1] >= 0};
    while (open[0] || open[1]) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfds[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
        int ready = poll(pfds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || pfds[i].revents == 0) continue;
            ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                open[i] = false;
                continue;
            }
            outs[i]->append(buffer, static_cast<size_t>(n));
        }
    }
    return true;
}

// A pseudo-terminal for the child's standard error: the master end for the
// parent, the slave end for the child; false when none could be had.
bool openTerminal(int& master, int& slave) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    const char* name = ptsname(master);
    slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return slave >= 0;
}

// Waits for the child and turns its wait status into 0..255, or -1 when it
// did not exit normally. maxRssKb, when given, receives the child's peak
// resident set size (wait4 reports it for that one process).
int reapChild(pid_t pid, long* maxRssKb = nullptr) {
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return -1;
    }
    if (maxRssKb != nullptr) *maxRssKb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ------------------------------------------------------------ admin access

// The root connection, opened on first use and reopened after the server
// went away (fault tests stop and start it).
struct AdminConnection {
    MYSQL* handle = nullptr;
    ~AdminConnection() {
        close();
        mysql_library_end();
    }
    void close() {
        if (handle != nullptr) mysql_close(handle);
        handle = nullptr;
    }
};

AdminConnection& admin() {
    static AdminConnection connection;
    return connection;
}

struct ResultDeleter {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultDeleter>;

// The socket of the fixture's server: MYSQL_UNIX_PORT, else the socket in
// KELVORA_TESTDB_DIR; empty leaves it to the client library's default.
std::string socketPath() {
    const char* socket = getenv("MYSQL_UNIX_PORT");
    if (socket != nullptr && *socket != '\0') return socket;
    std::string dir = testdbDir();
    return dir.empty() ? std::string() : dir + "/mysqld.sock";
}

// Opens the root connection in latin1 so that bytes go to and from the
// server unchanged. Selects RURUVURO when it exists; false on failure
// (already reported).
bool connectAdmin() {
    AdminConnection& conn = admin();
    if (conn.handle != nullptr) return true;
    conn.handle = mysql_init(nullptr);
    if (conn.handle == nullptr) {
        ADD_FAILURE() << "mysql_init failed";
        return false;
    }
    mysql_options(conn.handle, MYSQL_SET_CHARSET_NAME, "latin1");
    std::string socket = socketPath();
    if (mysql_real_connect(conn.handle, "localhost", AdminLogin, AdminPassword, nullptr, 0,
                           socket.empty() ? nullptr : socket.c_str(), 0) == nullptr) {
        ADD_FAILURE() << "cannot connect as " << AdminLogin << " to the test server on '" << socket
                      << "': " << mysql_error(conn.handle) << " (" << mysql_errno(conn.handle)
                      << ")";
        conn.close();
        return false;
    }
    // The programs that the tests start must not inherit this connection.
    int fd = static_cast<int>(mysql_get_socket(conn.handle));
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    mysql_select_db(conn.handle, SchemaName);   // absent right after a DROP: fine
    return true;
}

// Sends one statement; reconnects once when the server was restarted under
// the connection. Returns the error number, 0 on success.
unsigned sendStatement(const std::string& sql) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connectAdmin()) return ErrorNoConnection;
        MYSQL* handle = admin().handle;
        if (mysql_real_query(handle, sql.data(), sql.size()) == 0) return 0;
        unsigned error = mysql_errno(handle);
        if (error != ErrorServerGone && error != ErrorServerLost) return error;
        admin().close();
    }
    return ErrorServerLost;
}

std::string adminError() {
    return admin().handle != nullptr ? mysql_error(admin().handle) : "no connection";
}

// Reads the whole result of the statement just sent, if it has one.
std::vector<Row> storeRows(const std::string& sql) {
    std::vector<Row> rows;
    MYSQL* handle = admin().handle;
    ResultPtr result(mysql_store_result(handle));
    if (!result) {
        if (mysql_field_count(handle) != 0) {
            ADD_FAILURE() << "storing the result failed: " << sql << "\n  "
                          << mysql_error(handle) << " (" << mysql_errno(handle) << ")";
        }
        return rows;
    }
    unsigned columns = mysql_num_fields(result.get());
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        unsigned long* lengths = mysql_fetch_lengths(result.get());
        Row cells;
        cells.reserve(columns);
        for (unsigned i = 0; i < columns; ++i) {
            if (row[i] == nullptr) cells.emplace_back(std::nullopt);
            else cells.emplace_back(std::string(row[i], lengths[i]));
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

// Reads a whole file as bytes; false when it cannot be opened.
bool readBytes(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    bytes = buffer.str();
    return true;
}

bool writeBytes(const std::string& path, const std::string& bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// Splits the schema script into statements: "--" comment lines go, and a
// statement ends with the line that ends with ';'.
std::vector<std::string> splitStatements(const std::string& script) {
    std::vector<std::string> statements;
    std::string current;
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, 2, "--") == 0) continue;
        current += line;
        current += '\n';
        if (line.back() == ';') {
            current.pop_back();   // the line feed
            current.pop_back();   // the ';'
            statements.push_back(current);
            current.clear();
        }
    }
    if (current.find_first_not_of(" \t\n") != std::string::npos) statements.push_back(current);
    return statements;
}

}  // namespace

// ------------------------------------------------------------ public: env

std::string sourceDir() {
    return KELVORA_SOURCE_DIR;
}

std::string testdbDir() {
    const char* dir = getenv("KELVORA_TESTDB_DIR");
    return dir != nullptr ? dir : "";
}

// ------------------------------------------------------------ processes

RunningProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, bool stderrOnTerminal) {
    RunningProgram running;
    std::vector<char*> argv = buildArgv(program, args);
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return running;
    }
    bool errorsReady = stderrOnTerminal ? openTerminal(err[0], err[1]) : pipe2(err, O_CLOEXEC) == 0;
    if (!errorsReady) ADD_FAILURE() << "no pipe or terminal for standard error: " << strerror(errno);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) close(fd);
        }
        return running;
    }
    if (pid == 0) execChild(argv, workDir, out[1], err[1]);
    close(out[1]);
    if (err[1] >= 0) close(err[1]);
    running.pid = pid;
    running.stdoutFd = out[0];
    running.stderrFd = err[0];
    return running;
}

RunResult waitProgram(RunningProgram& running, int timeoutSeconds) {
    RunResult result;
    if (running.pid < 0) return result;
    const int fds[2] = {running.stdoutFd, running.stderrFd};
    std::string* outs[2] = {&result.out, &result.err};
    bool finished = drainOutputs(fds, outs, timeoutSeconds);
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    if (!finished) {
        kill(running.pid, SIGKILL);
        ADD_FAILURE() << "the program did not end within " << timeoutSeconds << " s";
    }
    result.status = reapChild(running.pid, &result.maxRssKb);
    running = RunningProgram();
    return result;
}

bool waitForError(RunningProgram& running, const std::string& text, std::string& seen, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    const size_t start = seen.size();
    char buffer[4096];
    while (seen.find(text, start) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd = {running.stderrFd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = read(running.stderrFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir) {
    RunningProgram running = startProgram(program, args, workDir);
    return waitProgram(running);
}

int shell(const std::string& command) {
    const std::string program = "/bin/sh";
    const std::vector<std::string> args = {"-c", command};
    std::vector<char*> argv = buildArgv(program, args);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return -1;
    }
    if (pid == 0) execChild(argv, std::string(), -1);
    return reapChild(pid);
}

// ------------------------------------------------------------ sandbox

Sandbox::Sandbox() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/kelvora-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
        return;
    }
    root_ = name.data();
    std::error_code error;
    std::filesystem::create_directories(root_ + "/" + WorkRelativePath, error);
    std::filesystem::create_directories(root_ + "/Files", error);
    if (error) ADD_FAILURE() << "creating the sandbox tree in " << root_ << ": " << error.message();
    writeSettings(TestLogin, TestPassword, "MYSQL", "localhost");
}

Sandbox::~Sandbox() {
    if (root_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string Sandbox::workDir() const {
    return root_ + "/" + WorkRelativePath;
}

std::string Sandbox::path(const std::string& relativeToWorkDir) const {
    return workDir() + "/" + relativeToWorkDir;
}

void Sandbox::writeFile(const std::string& relativeToWorkDir, const std::string& bytes) const {
    if (!writeBytes(path(relativeToWorkDir), bytes)) {
        ADD_FAILURE() << "cannot write " << path(relativeToWorkDir);
    }
}

std::string Sandbox::readFile(const std::string& relativeToWorkDir) const {
    std::string bytes;
    if (!readBytes(path(relativeToWorkDir), bytes)) {
        ADD_FAILURE() << "cannot read " << path(relativeToWorkDir);
    }
    return bytes;
}

bool Sandbox::exists(const std::string& relativeToWorkDir) const {
    struct stat info;
    return stat(path(relativeToWorkDir).c_str(), &info) == 0;
}

// The settings tool prints the settings file on its standard output; the
// harness puts it where the program looks for it, two levels above workDir.
void Sandbox::writeSettings(const std::string& login, const std::string& password,
                            const std::string& dbSystem, const std::string& host) const {
    RunResult written = runProgram(KELVORA_SETTINGS_TOOL,
                                   {"write", "--login", login, "--pass", password,
                                    "--db-system", dbSystem, "--host", host},
                                   root_);
    if (written.status != 0 || written.out.empty()) {
        ADD_FAILURE() << KELVORA_SETTINGS_TOOL << " write failed with status " << written.status;
        return;
    }
    std::string target = root_ + "/" + SettingsRelativePath;
    if (!writeBytes(target, written.out)) ADD_FAILURE() << "cannot write " << target;
}

RunResult Sandbox::run(const std::vector<std::string>& args) const {
    return runProgram(KELVORA_PROGRAM, args, workDir());
}

RunResult Sandbox::run(const std::vector<std::string>& environment, const std::vector<std::string>& args,
                       bool stderrOnTerminal) const {
    RunningProgram running = start(environment, args, stderrOnTerminal);
    return waitProgram(running);
}

RunningProgram Sandbox::start(const std::vector<std::string>& args, bool stderrOnTerminal) const {
    return startProgram(KELVORA_PROGRAM, args, workDir(), stderrOnTerminal);
}

RunningProgram Sandbox::start(const std::vector<std::string>& environment, const std::vector<std::string>& args,
                              bool stderrOnTerminal) const {
    std::vector<std::string> command = environment;
    command.push_back(KELVORA_PROGRAM);
    command.insert(command.end(), args.begin(), args.end());
    return startProgram("/usr/bin/env", command, workDir(), stderrOnTerminal);
}

RunResult Sandbox::wait(RunningProgram& program, int timeoutSeconds) const {
    return waitProgram(program, timeoutSeconds);
}

// ------------------------------------------------------------ watch site

WatchSite::WatchSite(const std::string& fileSections, int settleSeconds) {
    for (const char* name : {"drop", "archive", "failed"}) {
        std::error_code error;
        std::filesystem::create_directories(folder(name), error);
        if (error) ADD_FAILURE() << "creating " << folder(name) << ": " << error.message();
    }
    const std::string text = "[site]\ndrop = " + folder("drop") + "\nworkdir = " + box_.workDir() +
                             "\narchive = " + folder("archive") + "\nfailed = " + folder("failed") +
                             "\nprogram = " + KELVORA_PROGRAM + "\nsettle = " + std::to_string(settleSeconds) +
                             "\n\n" + fileSections;
    if (!writeBytes(config(), text)) ADD_FAILURE() << "cannot write " << config();
}

std::string WatchSite::config() const {
    return box_.root() + "/watch.conf";
}

std::string WatchSite::folder(const std::string& name) const {
    return box_.root() + "/" + name;
}

void WatchSite::deliver(const std::string& name, const std::string& bytes) const {
    if (!writeBytes(folder("drop") + "/" + name, bytes)) ADD_FAILURE() << "cannot deliver " << name;
}

std::vector<std::string> WatchSite::runFolders(const std::string& base) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder(base), error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string WatchSite::runFile(const std::string& base, const std::string& runFolder,
                               const std::string& name) const {
    std::string bytes;
    const std::string path = folder(base) + "/" + runFolder + "/" + name;
    if (!readBytes(path, bytes)) ADD_FAILURE() << "cannot read " << path;
    return bytes;
}

RunResult WatchSite::once(const std::vector<std::string>& options) const {
    return once({}, options);
}

RunResult WatchSite::once(const std::vector<std::string>& environment, const std::vector<std::string>& options) const {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // the settle time of 1 s
    std::vector<std::string> args = environment;   // through env(1), which sets them
    args.insert(args.end(), {KELVORA_WATCH, "--config", config(), "--once"});
    args.insert(args.end(), options.begin(), options.end());
    return runProgram("/usr/bin/env", args, box_.root());
}

RunningProgram WatchSite::follow(const std::vector<std::string>& options) const {
    std::vector<std::string> args = {"--config", config()};
    args.insert(args.end(), options.begin(), options.end());
    return startProgram(KELVORA_WATCH, args, box_.root());
}

RunningProgram WatchSite::followUnder(const std::vector<std::string>& wrapper,
                                     const std::vector<std::string>& options) const {
    std::vector<std::string> args(wrapper.begin() + 1, wrapper.end());
    args.insert(args.end(), {KELVORA_WATCH, "--config", config()});
    args.insert(args.end(), options.begin(), options.end());
    return startProgram(wrapper.front(), args, box_.root());
}

std::string utf8Of(const std::string& latin1) {
    std::string text;
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string record20P(int number) {
    return field("T" + std::to_string(number), 255) + "01A0000100010002\n";
}

std::string records20P(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) text += record20P(i);
    return text;
}

// ------------------------------------------------------------ database

int tryExec(const std::string& sql) {
    unsigned error = sendStatement(sql);
    if (error != 0) return static_cast<int>(error);
    storeRows(sql);   // a statement with rows must not leave them unread
    return 0;
}

void exec(const std::string& sql) {
    unsigned error = sendStatement(sql);
    if (error != 0) {
        ADD_FAILURE() << "SQL failed: " << sql << "\n  " << adminError() << " (" << error << ")";
        return;
    }
    storeRows(sql);
}

std::vector<Row> query(const std::string& sql) {
    unsigned error = sendStatement(sql);
    if (error != 0) {
        ADD_FAILURE() << "SQL failed: " << sql << "\n  " << adminError() << " (" << error << ")";
        return {};
    }
    return storeRows(sql);
}

long long countRows(const std::string& table) {
    std::string name = table.find('.') == std::string::npos ? std::string(SchemaName) + "." + table
                                                            : table;
    std::vector<Row> rows = query("SELECT COUNT(*) FROM " + name);
    if (rows.size() != 1 || rows[0].size() != 1 || !rows[0][0]) return -1;
    return std::stoll(*rows[0][0]);
}

Session::Session() {
    MYSQL* handle = mysql_init(nullptr);
    std::string socket = socketPath();
    if (handle == nullptr || mysql_real_connect(handle, "localhost", AdminLogin, AdminPassword, SchemaName, 0,
                                                socket.empty() ? nullptr : socket.c_str(), 0) == nullptr) {
        ADD_FAILURE() << "second session: " << (handle != nullptr ? mysql_error(handle) : "no memory");
        if (handle != nullptr) mysql_close(handle);
        return;
    }
    int fd = static_cast<int>(mysql_get_socket(handle));
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    mysql_autocommit(handle, 0);
    handle_ = handle;
}

Session::~Session() {
    if (handle_ != nullptr) mysql_close(static_cast<MYSQL*>(handle_));
}

int Session::exec(const std::string& sql) {
    MYSQL* handle = static_cast<MYSQL*>(handle_);
    if (handle == nullptr) return static_cast<int>(ErrorNoConnection);
    if (mysql_real_query(handle, sql.data(), sql.size()) != 0) return static_cast<int>(mysql_errno(handle));
    ResultPtr result(mysql_store_result(handle));
    return 0;
}

long waitingThread(const std::string& statementStart) {
    std::vector<Row> rows = query(
        "SELECT t.trx_mysql_thread_id FROM information_schema.INNODB_TRX t "
        "JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
        "WHERE t.trx_state = 'LOCK WAIT' AND TRIM(p.INFO) LIKE '" + statementStart + "%'");
    if (rows.size() != 1 || !rows[0][0]) return -1;
    return std::stol(*rows[0][0]);
}

void closeAdminConnection() {
    admin().close();
}

void resetSchema() {
    std::string schemaFile = sourceDir() + "/sql/schema.sql";
    std::string script;
    if (!readBytes(schemaFile, script)) {
        ADD_FAILURE() << "cannot read " << schemaFile;
        return;
    }
    exec(std::string("DROP DATABASE IF EXISTS ") + SchemaName);
    for (const std::string& statement : splitStatements(script)) exec(statement);
    // The grant is on the database name, so it survives the DROP; renewing it
    // also undoes a test that took it away.
    const std::string account = std::string("'") + TestLogin + "'@'localhost'";
    exec("CREATE USER IF NOT EXISTS " + account + " IDENTIFIED BY '" + TestPassword + "'");
    exec(std::string("GRANT ALL PRIVILEGES ON ") + SchemaName + ".* TO " + account);
    exec(std::string("USE ") + SchemaName);
}

void resetJournal() {
    std::string journalFile = sourceDir() + "/sql/journal.sql";
    std::string script;
    if (!readBytes(journalFile, script)) {
        ADD_FAILURE() << "cannot read " << journalFile;
        return;
    }
    exec("DROP DATABASE IF EXISTS KELVORA");
    for (const std::string& statement : splitStatements(script)) exec(statement);
    exec(std::string("GRANT SELECT, INSERT ON KELVORA.RUNS TO '") + TestLogin + "'@'localhost'");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

void countInserts() {
    exec("CREATE TABLE IF NOT EXISTS RURUVURO.inserts_seen (n INT)");
    exec("DELETE FROM RURUVURO.inserts_seen");
    exec("CREATE TRIGGER RURUVURO.count_inserts AFTER INSERT ON RURUVURO.MGSST20P FOR EACH ROW "
         "INSERT INTO RURUVURO.inserts_seen VALUES (1)");
}

long long insertsSeen() {
    return countRows("inserts_seen");
}

void insertSurvivor() {
    exec("INSERT INTO RURUVURO.MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv, M20Ofb, M20Dat)"
         " VALUES ('SURVIVOR', '01', 'A', '00001', '0001', '0002', SYSDATE())");
    exec("COMMIT");
}

std::vector<Row> terminalsInTable() {
    return query("SELECT M20Trm FROM RURUVURO.MGSST20P ORDER BY M20Trm");
}

std::string field(const std::string& value, int width) {
    if (width <= 0) return std::string();
    std::string text = value.substr(0, static_cast<size_t>(width));
    text.resize(static_cast<size_t>(width), ' ');
    return text;
}

}  // namespace kt
