// Runs under failures around the program: the server going away in the
// middle of an import, file-system failures that hold for root too, a
// settings file that cannot be read, an unreachable server, and a file so
// large that any per-record growth of the program would show.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "relay.h"

namespace {

constexpr int RecordLength20P = 272;
constexpr int ServerGoneError = 2006;     // CR_SERVER_GONE_ERROR
constexpr int ServerLostError = 2013;     // CR_SERVER_LOST
constexpr int NoSocketError = 2002;       // CR_CONNECTION_ERROR
constexpr int AccessDeniedError = 1045;
constexpr int FileFailureStatus = 99;
constexpr int MaxDescriptorLimit = 16;
constexpr int WaitLimitSeconds = 60;

// The server is killed once this many rows of the run's transaction exist,
// a tenth of the file, so the run is well under way but far from its end.
constexpr int InterruptedRecords = 200000;
constexpr long long RowsBeforeKill = InterruptedRecords / 10;

// The relay goes silent when the program sends the record CutRecord of
// RelayedRecords, a few windows into the file; the option file lets the
// program wait RelayReadTimeoutSeconds for an answer. The run must end
// within DeadPeerEndSeconds of the cut: the timeout with room for a slow
// machine, far below the connection's default of 600 s.
constexpr int RelayedRecords = 3000;
constexpr int CutRecord = 2500;
constexpr int RelayReadTimeoutSeconds = 2;
constexpr double DeadPeerEndSeconds = 30;

constexpr int SmallFileRecords = 1000;
constexpr int LargeFileRecords = 1000000;
constexpr int LargeRunTimeoutSeconds = 600;
// Peak resident memory of the large run may exceed the small run's by this
// much: allocator and page-cache noise, nothing that grows per record.
constexpr long MemoryMarginKb = 1024;

const char* const Table = "MGSST20P";

// The exit status that a result code gives (its low byte).
int statusOf(int resultCode) {
    return resultCode & 0xFF;
}

std::string terminalOf(int number) {
    char terminal[16];
    snprintf(terminal, sizeof terminal, "T%07d", number);
    return terminal;
}

// One valid 20P record with a key unique for its number.
std::string record20P(int number) {
    char values[32];
    snprintf(values, sizeof values, "%05d%04d%04d", number % 100000, number % 10000, (number * 7) % 10000);
    return kt::field(terminalOf(number), 255) + "01" + "A" + values + "\n";
}

std::string records20P(int count) {
    std::string text;
    text.reserve(static_cast<size_t>(count) * RecordLength20P);
    for (int i = 1; i <= count; ++i) text += record20P(i);
    return text;
}

// Writes a large file record by record, so the test itself stays small.
void writeRecords20P(const std::string& path, int count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 1; i <= count; ++i) out << record20P(i);
    out.flush();
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string countMessage(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in MGSST20P eingefuegt\n";
}

// The rows in the table including those not yet committed: the progress of
// a running import. The isolation level holds for this one statement.
long long uncommittedRows() {
    kt::exec("SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
    return kt::countRows(Table);
}

long long openTransactions() {
    std::vector<kt::Row> rows = kt::query("SELECT COUNT(*) FROM information_schema.INNODB_TRX");
    if (rows.size() != 1 || !rows[0][0]) return -1;
    return std::stoll(*rows[0][0]);
}

// The pid of the fixture's server from the pid file that scripts/testdb
// gives it; -1 when there is none.
pid_t serverPid() {
    std::ifstream in(kt::testdbDir() + "/mysqld.pid");
    long pid = -1;
    if (!(in >> pid) || pid <= 1) return -1;
    return static_cast<pid_t>(pid);
}

// True once the process has ended; a zombie that its parent has not reaped
// has ended too (the server is not our child).
bool processEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t paren = line.rfind(')');
    if (paren == std::string::npos || paren + 2 >= line.size()) return true;
    char state = line[paren + 2];
    return state == 'Z' || state == 'X';
}

// Kills the server the hard way, as a crash or an operator would, and
// waits until it is gone.
bool killServer() {
    pid_t pid = serverPid();
    if (pid < 0 || kill(pid, SIGKILL) != 0) return false;
    return kt::waitFor([pid] { return processEnded(pid); }, WaitLimitSeconds);
}

// Starts the server again on its data directory and drops the harness's
// connection to the old one.
bool restartServer() {
    int status = kt::shell("'" + kt::sourceDir() + "/scripts/testdb' restart '" + kt::testdbDir() + "' >/dev/null");
    kt::closeAdminConnection();
    return status == 0;
}

// The number at the end of a line, after a fixed text; false when the line
// is not of that form.
bool numberAfter(const std::string& line, const std::string& front, long& number) {
    if (line.size() <= front.size() || line.compare(0, front.size(), front) != 0) return false;
    std::string digits = line.substr(front.size());
    if (digits.find_first_not_of("-0123456789") != std::string::npos) return false;
    number = std::stol(digits);
    return true;
}

// The result code of a line "  Trm T<seven digits>: Insert-Fehler: <code>".
bool failureCode(const std::string& line, long& code) {
    const std::string front = "  Trm T";
    const std::string middle = ": Insert-Fehler: ";
    const size_t terminalDigits = 7;
    if (line.compare(0, front.size(), front) != 0) return false;
    std::string digits = line.substr(front.size(), terminalDigits);
    if (digits.size() != terminalDigits || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    return numberAfter(line, front + digits + middle, code);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Makes a directory immutable, which binds root as well: no entry in it
// can be created, removed or renamed. Undone when the guard ends, so the
// sandbox can be removed even after a failed assertion.
class ImmutableDirectory {
public:
    explicit ImmutableDirectory(std::string path) : path_(std::move(path)) {
        immutable_ = kt::shell("chattr +i '" + path_ + "' 2>/dev/null") == 0;
        if (!immutable_ && geteuid() != 0) readOnly_ = chmod(path_.c_str(), 0555) == 0;
    }
    ~ImmutableDirectory() {
        if (immutable_) kt::shell("chattr -i '" + path_ + "'");
        if (readOnly_) chmod(path_.c_str(), 0755);
    }
    bool holds() const { return immutable_ || readOnly_; }

private:
    std::string path_;
    bool immutable_ = false;
    bool readOnly_ = false;
};

// Runs the program through bash with a command prefix (an environment
// assignment, a ulimit) in the sandbox's working directory.
kt::RunResult runWithShellPrefix(const kt::Sandbox& box, const std::string& prefix,
                                 const std::vector<std::string>& args) {
    std::string command = prefix + " exec \"$0\" \"$@\"";
    std::vector<std::string> shellArgs = {"-c", command, KELVORA_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return kt::runProgram("/bin/bash", shellArgs, box.workDir());
}

// Runs the program with only standard input, output and error open and at
// most limit descriptors. Standard error goes to the file errors: below the
// lowest limit the loader itself complains there. The leak check of a
// sanitizer build needs descriptors at exit, so it is left out of these runs.
kt::RunResult runWithDescriptorLimit(const kt::Sandbox& box, int limit,
                                     const std::vector<std::string>& args, const std::string& errors) {
    const std::string closeInherited =
        "for fd in $(ls /proc/$$/fd); do [ \"$fd\" -gt 2 ] && eval \"exec $fd>&-\"; done;";
    return runWithShellPrefix(box,
                              "exec 2>'" + errors + "'; " + closeInherited +
                                  " export ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\"; ulimit -n " +
                                  std::to_string(limit) + " &&",
                              args);
}

}  // namespace

// The server dies while records are being inserted: every later statement
// fails with the client's "gone" or "lost" error, the run ends with that
// error as its status, and after the restart the table is as it was before
// the run, because the one transaction was never committed.
TEST(ServerFault, ServerKilledMidImportLeavesTheTableAsBeforeTheRun) {
    if (kt::testdbDir().empty()) GTEST_SKIP() << "needs the fixture's server (KELVORA_TESTDB_DIR)";
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Sandbox box;
    const std::string content = records20P(InterruptedRecords);
    box.writeFile("load.txt", content);

    kt::RunningProgram running = box.start({"load.txt", "20P"});
    bool underWay = kt::waitFor([] { return uncommittedRows() >= RowsBeforeKill; }, WaitLimitSeconds);
    bool killed = underWay && killServer();
    kt::RunResult run = box.wait(running);
    bool restarted = restartServer();
    ASSERT_TRUE(underWay) << "the import did not get under way; status " << run.status << ", output "
                          << run.out.substr(0, 500);
    ASSERT_TRUE(killed) << "the server could not be killed";
    ASSERT_TRUE(restarted) << "the server did not come back";

    // The first statement that meets the dead server fails with a client
    // error; that ends the run at once: its failure line, the abort line,
    // nothing more.
    std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out.substr(0, 2000);
    long code = 0;
    ASSERT_TRUE(failureCode(lines[0], code)) << lines[0];
    EXPECT_TRUE(code == ServerGoneError || code == ServerLostError) << lines[0];
    EXPECT_EQ(lines[1], "Transaktion abgebrochen, Fehler: " + std::to_string(code));
    EXPECT_EQ(run.status, statusOf(static_cast<int>(code)));

    std::vector<kt::Row> rows = kt::terminalsInTable();
    ASSERT_EQ(rows.size(), 1u) << "rows of the interrupted run were committed";
    EXPECT_EQ(rows[0][0], kt::Cell("SURVIVOR"));
    EXPECT_FALSE(box.exists("load.txt"));
    EXPECT_TRUE(box.readFile("load.wrk") == content) << "the work file lost data";

    // The server rolls the dead transaction back in the background; the
    // tests that follow start from a quiet server.
    EXPECT_TRUE(kt::waitFor([] { return openTransactions() == 0; }, WaitLimitSeconds));
}

// The network between the program and the server fails in the middle of an
// import: the relay goes silent when the program sends a record, both
// connections staying open, as across a partition. With the option file's
// read-timeout the run ends soon after with the client's "lost connection",
// while the server still holds the run's rows uncommitted; once the relay's
// connection ends the server rolls them back, and the table is as before.
// First, a timeout that is no number of seconds refuses the file before
// anything is connected.
TEST(ServerFault, SilentNetworkMidImportEndsWithLostConnectionAfterTheReadTimeout) {
    if (kt::testdbDir().empty()) GTEST_SKIP() << "needs the fixture's server (KELVORA_TESTDB_DIR)";
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Sandbox box;
    box.writeSettings(kt::TestLogin, kt::TestPassword, "MYSQL", "127.0.0.1");
    const std::string content = records20P(RelayedRecords);
    box.writeFile("load.txt", content);
    kt::RunResult run;
    double secondsAfterCut = -1;
    long long heldRows = -1;
    {
        kt::Relay relay(kt::testdbDir() + "/mysqld.sock", terminalOf(CutRecord));
        ASSERT_NE(relay.port(), 0);
        const std::string port = "[kelvora]\nport = " + std::to_string(relay.port()) + "\n";
        box.writeFile("minutes.cnf", port + "read-timeout = 2m\n");
        kt::RunResult refused = box.run({"KELVORA_OPTION_FILE=" + box.path("minutes.cnf")}, {"load.txt", "20P"});
        EXPECT_EQ(refused.out, "Datenbankverbindung fehlgeschlagen, Fehler: 2000\n");
        EXPECT_NE(refused.err.find("minutes.cnf sets read-timeout = 2m, which is not a whole number of seconds"),
                  std::string::npos)
            << refused.err;
        EXPECT_TRUE(box.exists("load.txt"));
        box.writeFile("relay.cnf", port + "read-timeout = " + std::to_string(RelayReadTimeoutSeconds) + "\n");
        run = box.run({"KELVORA_OPTION_FILE=" + box.path("relay.cnf")}, {"load.txt", "20P"});
        ASSERT_TRUE(relay.cut()) << "the record never went through the relay; status " << run.status << ", output "
                                 << run.out.substr(0, 500) << run.err;
        secondsAfterCut =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - relay.cutTime()).count();
        heldRows = uncommittedRows();
    }
    std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out.substr(0, 2000) << run.err;
    long code = 0;
    EXPECT_TRUE(failureCode(lines[0], code) && code == ServerLostError) << lines[0];
    EXPECT_EQ(lines[1], "Transaktion abgebrochen, Fehler: " + std::to_string(ServerLostError));
    EXPECT_EQ(run.status, statusOf(ServerLostError)) << run.err;
    EXPECT_LT(secondsAfterCut, DeadPeerEndSeconds);
    EXPECT_GT(heldRows, 0) << "the cut came before any record reached the server";
    EXPECT_LT(heldRows, CutRecord);

    EXPECT_TRUE(kt::waitFor([] { return openTransactions() == 0; }, WaitLimitSeconds));
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
    EXPECT_TRUE(box.readFile("load.wrk") == content) << "the work file lost data";
}

// The source's directory refuses changes (immutable, which binds root): the
// move to the work name fails, the run ends with 99 before any statement,
// and neither the source nor an older work file is touched.
TEST(FileFault, DirectoryThatRefusesTheMoveEndsWith99AndTouchesNothing) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Sandbox box;
    box.writeFile("drop/in.txt", record20P(1));
    box.writeFile("drop/in.wrk", "older work file\n");
    ImmutableDirectory guard(box.path("drop"));
    if (!guard.holds()) GTEST_SKIP() << "cannot make a directory unwritable here";

    kt::RunResult debug = box.run({"drop/in.txt", "20P", "/D"});
    EXPECT_EQ(debug.out, "Quelldatei auf Server nicht gefunden\n");
    EXPECT_EQ(debug.status, FileFailureStatus);
    kt::RunResult quiet = box.run({"drop/in.txt", "20P"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, FileFailureStatus);

    EXPECT_EQ(box.readFile("drop/in.txt"), record20P(1));
    EXPECT_EQ(box.readFile("drop/in.wrk"), "older work file\n");
    std::vector<kt::Row> rows = kt::terminalsInTable();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], kt::Cell("SURVIVOR"));
}

// Two more ways the move fails for root: the work path is a directory that
// holds files, and the source itself is a directory. Both end with 99 and
// leave everything where it was.
TEST(FileFault, WorkPathOrSourceThatIsADirectoryEndsWith99) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Sandbox box;
    box.writeFile("in.txt", record20P(1));
    box.writeFile("in.wrk/keep", "kept\n");
    kt::RunResult blocked = box.run({"in.txt", "20P"});
    EXPECT_EQ(blocked.out, "");
    EXPECT_EQ(blocked.status, FileFailureStatus);
    EXPECT_EQ(box.readFile("in.txt"), record20P(1));
    EXPECT_EQ(box.readFile("in.wrk/keep"), "kept\n");

    box.writeFile("batch.d/inner", "x");
    box.writeFile("batch.wrk", "older work file\n");
    kt::RunResult directory = box.run({"batch.d", "20P"});
    EXPECT_EQ(directory.out, "");
    EXPECT_EQ(directory.status, FileFailureStatus);
    EXPECT_EQ(box.readFile("batch.d/inner"), "x");
    EXPECT_EQ(box.readFile("batch.wrk"), "older work file\n");
    EXPECT_EQ(kt::terminalsInTable().size(), 1u);
}

// The work file is there but cannot be opened: with a descriptor limit
// (which binds root too) that leaves room for the connection but not one
// descriptor more, the open fails, the message is printed whatever /D says,
// the run ends with 99, no statement runs, and the data stays in the work
// file. The run starts from a clean descriptor table, as from an
// operator's shell. Limits too low to connect end before the source is
// touched; the first limit that lets the program connect must fail the open.
TEST(FileFault, WorkFileThatCannotBeOpenedEndsWith99) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Sandbox box;
    const std::string connectFailed = "Datenbankverbindung fehlgeschlagen";
    bool connected = false;
    for (int limit = 4; limit <= MaxDescriptorLimit && !connected; ++limit) {
        box.writeFile("in.txt", record20P(1));
        kt::RunResult run = runWithDescriptorLimit(box, limit, {"in.txt", "20P"}, box.path("errors.txt"));
        if (run.out.compare(0, connectFailed.size(), connectFailed) == 0) {
            EXPECT_EQ(box.readFile("in.txt"), record20P(1));
            continue;
        }
        connected = true;
        EXPECT_EQ(run.out, "\xD6" "ffnen der Datei fehlgeschlagen\n") << "descriptor limit " << limit;
        EXPECT_EQ(run.status, FileFailureStatus);
        EXPECT_FALSE(box.exists("in.txt"));
        EXPECT_EQ(box.readFile("in.wrk"), record20P(1));
        std::string errors = box.readFile("errors.txt");
        EXPECT_NE(errors.find("cannot open the work file in.wrk: Too many open files"), std::string::npos) << errors;
    }
    EXPECT_TRUE(connected) << "no descriptor limit up to " << MaxDescriptorLimit << " let the program connect";
    std::vector<kt::Row> rows = kt::terminalsInTable();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], kt::Cell("SURVIVOR"));
}

// Connection failures end the run with the client's error number (its low
// byte as the exit status) before the source is touched: a settings file
// that is a directory gives an empty login, which is refused as the server
// would refuse it, without trying to connect (no server listens on the
// socket given); a server that is not there gives the client's socket error.
TEST(SettingsFault, UnreadableSettingsOrNoServerEndWithTheClientErrorNumber) {
    kt::Sandbox box;
    box.writeFile("in.txt", record20P(1));
    const std::string settings = box.root() + "/Files/Corvantis.Ini";
    const std::string noServer = "export MYSQL_UNIX_PORT='" + box.root() + "/absent.sock' &&";
    ASSERT_EQ(kt::shell("rm -f '" + settings + "' && mkdir '" + settings + "'"), 0);
    kt::RunResult unreadable = runWithShellPrefix(box, noServer, {"in.txt", "20P"});
    EXPECT_EQ(unreadable.out, "Datenbankverbindung fehlgeschlagen, Fehler: " +
                                  std::to_string(AccessDeniedError) + "\n");
    EXPECT_EQ(unreadable.status, statusOf(AccessDeniedError));
    EXPECT_EQ(box.readFile("in.txt"), record20P(1));
    EXPECT_FALSE(box.exists("in.wrk"));

    ASSERT_EQ(kt::shell("rmdir '" + settings + "'"), 0);
    box.writeSettings(kt::TestLogin, kt::TestPassword, "MYSQL", "localhost");
    kt::RunResult absent = runWithShellPrefix(box, noServer, {"in.txt", "20P"});
    EXPECT_EQ(absent.out, "Datenbankverbindung fehlgeschlagen, Fehler: " +
                                std::to_string(NoSocketError) + "\n");
    EXPECT_EQ(absent.status, statusOf(NoSocketError));
    EXPECT_EQ(box.readFile("in.txt"), record20P(1));
    EXPECT_FALSE(box.exists("in.wrk"));
}

// Many rows changed in the other session's transaction: in a deadlock
// InnoDB then rolls back the program's lighter one.
bool outweighTheProgram(kt::Session& other) {
    for (int i = 0; i < 200; ++i) {
        if (other.exec("INSERT INTO MGSST41P (M41Trm, M41Fir, M41Zpl, M41Wnr, M41Zzo, M41Tnr, M41Von) "
                       "VALUES ('X" + std::to_string(i) + "', 'F', 'Z', 'W', 'ZZ', 'T', 'V')") != 0) {
            return false;
        }
    }
    return true;
}

std::string record35P(const std::string& terminal, const std::string& bkl, const std::string& les,
                      const std::string& zko) {
    return kt::field(terminal, 255) + kt::field("F1", 3) + kt::field(bkl, 5) + kt::field(les, 2) +
           kt::field("W1", 2) + kt::field("P1", 3) + kt::field(zko, 5) + kt::field("Z1", 5) + "B\n";
}

// The rows the deadlock tests start from: the "*ZKO" row T1, and a row of
// MGSST35P that a committed run would delete.
void seedDeadlockRows() {
    kt::exec("INSERT INTO QVS401ZLS (ZLSTRM, ZLSLES, ZLSZKO) VALUES ('T1', '01', 'OLD')");
    kt::exec("INSERT INTO MGSST35P (M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl) "
             "VALUES ('KEEP', 'F', 'B', 'L', 'W', 'P')");
    kt::exec("COMMIT");
}

// The other session, the deadlock's survivor, holds the "*ZKO" row T1.
bool holdTheZkoRow(kt::Session& other) {
    return outweighTheProgram(other) && other.exec("UPDATE QVS401ZLS SET ZLSZKO = 'LOCK' WHERE ZLSTRM = 'T1'") == 0;
}

// A 35P file whose second record updates the "*ZKO" row T1; the program
// waits for that row while it holds MGSST35P, which the other session then
// deletes from: a deadlock.
std::string deadlockFile() {
    return record35P("NEW", "B", "01", "") + record35P("T1", "*ZKO", "01", "ZK1") + record35P("AFTER", "B", "02", "");
}

bool programWaitsForTheZkoRow() {
    return kt::waitFor([] { return kt::waitingThread("UPDATE RURUVURO.QVS401ZLS") > 0; }, WaitLimitSeconds);
}

// A deadlock rolls the program's transaction back on the server. The run
// must stop there, or the next statement would open a new transaction and
// the COMMIT would keep the rest of the file.
TEST(TransactionFault, DeadlockStopsTheRunAndCommitsNothing) {
    kt::resetSchema();
    seedDeadlockRows();
    kt::Session other;
    ASSERT_TRUE(holdTheZkoRow(other));
    kt::Sandbox box;
    box.writeFile("in.txt", deadlockFile());
    kt::RunningProgram running = box.start({"in.txt", "35P"});
    bool waiting = programWaitsForTheZkoRow();
    int deleted = waiting ? other.exec("DELETE FROM MGSST35P") : -1;
    kt::RunResult run = box.wait(running);
    other.exec("ROLLBACK");
    ASSERT_TRUE(waiting) << "the program never waited for the row; output " << run.out;
    EXPECT_EQ(deleted, 0);

    // A "*ZKO" record prints no failure line of its own.
    EXPECT_EQ(run.out, "Transaktion abgebrochen, Fehler: 1213\n");
    EXPECT_EQ(run.status, 1213 & 0xFF);
    EXPECT_EQ(kt::query("SELECT M35Trm FROM MGSST35P"), (std::vector<kt::Row>{{"KEEP"}}));
    EXPECT_EQ(kt::query("SELECT ZLSZKO FROM QVS401ZLS"), (std::vector<kt::Row>{{"OLD"}}));
}

// A record whose insert failed before a later record met a deadlock keeps
// its failure line, in every window: the insert after an update runs before
// the next record's statements, as one statement per query runs it. The
// other session has changed many rows, so InnoDB picks the program as the
// victim.
TEST(TransactionFault, DeadlockAfterAFailedInsertKeepsItsFailureLine) {
    const std::string file = kt::field("X", 50) + kt::field("B", 5) + kt::field("L", 5) + kt::field("", 5) + "1\n" +
                             kt::field("Y", 50) + kt::field("B", 5) + kt::field("L", 5) + kt::field("1", 5) + "1\n";
    for (const char* window : {"KELVORA_WINDOW=1", "KELVORA_WINDOW=1000"}) {
        kt::resetSchema();
        kt::exec("INSERT INTO QVS301AWB (AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta) VALUES ('Y', 'B', 'L', '1', 0, 1)");
        kt::exec("COMMIT");
        kt::Session other;
        ASSERT_TRUE(outweighTheProgram(other));
        ASSERT_EQ(other.exec("SELECT * FROM QVS301AWB WHERE AwbAws = 'Y' FOR UPDATE"), 0);
        kt::Sandbox box;
        box.writeFile("in.txt", file);
        kt::RunningProgram running = box.start({window}, {"in.txt", "BKL", "UPD"});
        // The program holds the gap where X would be and waits for Y; the
        // other session's insert into that gap closes the circle.
        bool waiting =
            kt::waitFor([] { return kt::waitingThread("UPDATE  RURUVURO.QVS301AWB") > 0; }, WaitLimitSeconds);
        int inserted = waiting ? other.exec("INSERT INTO QVS301AWB (AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta) "
                                            "VALUES ('X', 'B', 'L', '5', 0, 1)")
                               : -1;
        kt::RunResult run = box.wait(running);
        other.exec("ROLLBACK");
        ASSERT_TRUE(waiting) << window << ": the program never waited for the row; output " << run.out;
        EXPECT_EQ(inserted, 0);
        EXPECT_EQ(run.out, "  Berechtigungsklassen: Insert-Fehler: 1064\n"
                           "  Berechtigungsklassen: Insert-Fehler: 1213\n"
                           "Transaktion abgebrochen, Fehler: 1213\n")
            << window;
        EXPECT_EQ(run.status, 1213 & 0xFF);
    }
}

// kelvora-watch runs a file again whose run a deadlock aborted: the second
// run finds the rows free and commits, and the run folder keeps the report
// of the first run beside that of the second.
TEST(TransactionFault, WatcherRetriesARunThatADeadlockAborted) {
    kt::resetSchema();
    seedDeadlockRows();
    kt::Session other;
    ASSERT_TRUE(holdTheZkoRow(other));
    kt::WatchSite site("[file 35P*]\ntype = 35P\n");
    site.deliver("35P_0001.txt", deadlockFile());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // settled
    kt::RunningProgram watcher = site.follow({"--once", "--retry-delays", "1"});
    bool waiting = programWaitsForTheZkoRow();
    int deleted = waiting ? other.exec("DELETE FROM MGSST35P") : -1;
    other.exec("ROLLBACK");
    kt::RunResult run = kt::waitProgram(watcher);
    ASSERT_TRUE(waiting) << run.err;
    EXPECT_EQ(deleted, 0);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("nothing committed, exit 189, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("deadlock (1213), retry 1 of 3 in 1 s"), std::string::npos) << run.err;
    const std::vector<std::string> archived = site.runFolders("archive");
    ASSERT_EQ(archived.size(), 1u) << run.err;
    const std::string first = site.runFile("archive", archived[0], "attempt-1.report.json");
    EXPECT_NE(first.find("\"result\": 1213"), std::string::npos) << first;
    const std::string second = site.runFile("archive", archived[0], "report.json");
    EXPECT_NE(second.find("\"committed\": true"), std::string::npos) << second;
    EXPECT_EQ(kt::query("SELECT M35Trm FROM MGSST35P ORDER BY M35Trm"), (std::vector<kt::Row>{{"AFTER"}, {"NEW"}}));
    EXPECT_EQ(kt::query("SELECT ZLSZKO FROM QVS401ZLS"), (std::vector<kt::Row>{{"ZK1"}}));
}

// The connection is killed while the opening delete waits for a lock: the
// abort line is all the program prints, and nothing is committed.
TEST(TransactionFault, KilledConnectionStopsTheRunAtTheOpening) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::Session other;
    ASSERT_EQ(other.exec("UPDATE MGSST20P SET M20Ofb = 'LOCK'"), 0);
    kt::Sandbox box;
    box.writeFile("in.txt", record20P(1));
    kt::RunningProgram running = box.start({"in.txt", "20P", "/D"});
    long thread = -1;
    bool waiting =
        kt::waitFor([&thread] { return (thread = kt::waitingThread("DELETE FROM Ruruvuro.MGSST20P")) > 0; }, WaitLimitSeconds);
    if (waiting) kt::exec("KILL CONNECTION " + std::to_string(thread));
    kt::RunResult run = box.wait(running);
    other.exec("ROLLBACK");
    ASSERT_TRUE(waiting) << "the program never waited for the lock; output " << run.out;

    long code = 0;
    ASSERT_TRUE(numberAfter(run.out.substr(0, run.out.size() - 1), "Transaktion abgebrochen, Fehler: ", code))
        << run.out;
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_TRUE(code == 1927 || code == ServerLostError || code == ServerGoneError) << code;
    EXPECT_EQ(run.status, statusOf(static_cast<int>(code)));
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));
}

// A login that may insert but not delete: the replace would turn into an
// append, so the run commits nothing and ends with the delete's error. When
// no record could be written either, the run ends as it always did.
TEST(TransactionFault, FailedOpeningDeleteForbidsCommittingWrittenRecords) {
    kt::resetSchema();
    kt::insertSurvivor();
    kt::exec("CREATE USER IF NOT EXISTS 'nodelete'@'localhost' IDENTIFIED BY 'nodelete'");
    kt::exec("GRANT SELECT, INSERT, UPDATE ON RURUVURO.* TO 'nodelete'@'localhost'");
    kt::Sandbox box;
    box.writeSettings("nodelete", "nodelete", "MYSQL", "localhost");
    box.writeFile("in.txt", record20P(1) + record20P(2));
    kt::RunResult run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, countMessage(2) + "Transaktion abgebrochen, Fehler: 1142\n");
    EXPECT_EQ(run.status, 1142 & 0xFF);
    EXPECT_NE(run.err.find("opening statement \"DELETE FROM Ruruvuro.MGSST20P\" failed with error 1142: DELETE "
                           "command denied"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(kt::terminalsInTable(), (std::vector<kt::Row>{{"SURVIVOR"}}));

    // Every record fails (the survivor's key), so nothing was written: the
    // run commits (nothing) and ends with the last record's error.
    box.writeFile("in.txt", kt::field("SURVIVOR", 255) + "01A000010001XXXX\n");
    run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, "  Trm SURVIVOR: Insert-Fehler: 1062\n" + countMessage(0));
    EXPECT_EQ(run.status, 1062 & 0xFF);
    kt::exec("DROP USER 'nodelete'@'localhost'");
}

// A table without transactions (MyISAM) never has one open: an ordinary
// failure there is no lost transaction, and the run goes on as it always
// did. Standard error says that such a table keeps what is written.
TEST(TransactionFault, TablesWithoutTransactionsFailRecordsAsAlways) {
    kt::resetSchema();
    kt::exec("ALTER TABLE RURUVURO.MGSST20P ENGINE=MyISAM");
    kt::Sandbox box;
    box.writeFile("in.txt", record20P(1) + record20P(1) + record20P(2));
    kt::RunResult run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, "  Trm " + terminalOf(1) + ": Insert-Fehler: 1062\n" + countMessage(2));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::countRows(Table), 2);
    EXPECT_NE(run.err.find("MGSST20P has no transactions"), std::string::npos) << run.err;
    kt::resetSchema();
}

// A lock wait timeout ends the run at the record that meets it, the same
// record as one statement per query: inside a multi-row INSERT, after
// records whose inserts follow their updates, and in a window that lone
// newlines filled, where nothing of the lines after it may appear. Standard
// error keeps the server's text.
TEST(TransactionFault, LockWaitTimeoutStopsAtTheSameRecordInEveryWindow) {
    kt::exec("SET GLOBAL innodb_lock_wait_timeout = 1");
    auto line20P = [](const char* terminal) { return kt::field(terminal, 255) + "01A0000100010002\n"; };
    const std::string fast = line20P("A1") + line20P("A2") + line20P("ZZZ1");
    const std::string lonely = line20P("ZZZ1") + std::string(5000, '\n') + "short\n" + line20P("A1");
    const std::string authClasses = kt::field("X", 50) + kt::field("B", 5) + kt::field("L", 5) + kt::field("", 5) +
                                    "1\n" + kt::field("Y", 50) + kt::field("B", 5) + kt::field("L", 5) +
                                    kt::field("1", 5) + "1\n";
    struct Case {
        const char* type;
        const std::string& file;
        const char* option;
        const char* lock;
        const char* expected;
    };
    const Case cases[] = {
        {"20P", fast, "/D", "SELECT * FROM MGSST20P WHERE M20Trm > 'ZZ' FOR UPDATE",
         "  Trm ZZZ1: Insert-Fehler: 1205\n"},
        {"BKL", authClasses, "UPD", "SELECT * FROM QVS301AWB WHERE AwbAws = 'Y' FOR UPDATE",
         "  Berechtigungsklassen: Insert-Fehler: 1064\n  Berechtigungsklassen: Insert-Fehler: 1205\n"},
        {"20P", lonely, "", "SELECT * FROM MGSST20P WHERE M20Trm > 'ZZ' FOR UPDATE",
         "  Trm ZZZ1: Insert-Fehler: 1205\n"},
    };
    for (const Case& c : cases) {
        std::string outputs[2];
        for (int w = 0; w < 2; ++w) {
            kt::resetSchema();
            kt::exec("INSERT INTO QVS301AWB (AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta) "
                     "VALUES ('Y', 'B', 'L', '1', 0, 1)");
            // The other session's range lock above 'ZZ' then holds the gap
            // from 'M' up, not the whole table.
            kt::exec("INSERT INTO MGSST20P (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv) VALUES ('M', '1', 'A', '1', '1')");
            kt::exec("COMMIT");
            kt::Session other;
            ASSERT_EQ(other.exec(c.lock), 0);
            kt::Sandbox box;
            box.writeFile("in.txt", c.file);
            kt::RunResult run = box.run({w == 0 ? "KELVORA_WINDOW=1" : "KELVORA_WINDOW=1000"}, {"in.txt", c.type, c.option});
            other.exec("ROLLBACK");
            outputs[w] = run.out;
            EXPECT_EQ(run.status, 1205 & 0xFF) << c.type;
            EXPECT_NE(run.err.find("error 1205 ended the transaction on the server: Lock wait timeout exceeded"),
                      std::string::npos)
                << run.err;
        }
        EXPECT_EQ(outputs[1], outputs[0]) << c.type;
        const std::string end = std::string(c.expected) + "Transaktion abgebrochen, Fehler: 1205\n";
        ASSERT_GE(outputs[0].size(), end.size()) << outputs[0];
        EXPECT_EQ(outputs[0].substr(outputs[0].size() - end.size()), end) << outputs[0];
    }
    kt::exec("SET GLOBAL innodb_lock_wait_timeout = DEFAULT");
    kt::resetSchema();
}

// A lock that another session holds for a moment is waited for, in every
// window, where one statement per query waits for it: a row lock (the run
// then goes on and commits), and a table's lock that outlasts
// lock_wait_timeout (the run then stops at the first record that needs the
// table). A statement that carries several records never waits itself: it
// gives way, and its records wait one by one.
TEST(TransactionFault, ALockHeldByAnotherSessionIsWaitedForAsOneStatementPerQueryWaits) {
    std::string authClasses;
    for (const char* key : {"R1", "R2", "R3", "R4", "R5", "R6"}) {
        authClasses += kt::field(key, 50) + kt::field("B", 5) + kt::field("L", 5) + kt::field("1", 5) + "2\n";
    }
    std::string outputs[2];
    for (int w = 0; w < 2; ++w) {
        kt::resetSchema();
        kt::exec("INSERT INTO QVS301AWB (AwbAws, AwbBkl, AwbLiz, AwbMnd, AwbZuv, AwbSta) "
                 "VALUES ('R5', 'B', 'L', '1', 1, 1)");
        kt::exec("COMMIT");
        kt::Session other;
        ASSERT_EQ(other.exec("SELECT * FROM QVS301AWB WHERE AwbAws = 'R5' FOR UPDATE"), 0);
        kt::Sandbox box;
        box.writeFile("in.txt", authClasses);
        kt::RunningProgram running =
            box.start({w == 0 ? "KELVORA_WINDOW=1" : "KELVORA_WINDOW=1000"}, {"in.txt", "BKL", "UPD"});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        other.exec("COMMIT");
        kt::RunResult run = box.wait(running);
        outputs[w] = run.out;
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(kt::query("SELECT COUNT(*) FROM QVS301AWB WHERE AwbZuv = 2"), (std::vector<kt::Row>{{"6"}}));
    }
    EXPECT_EQ(outputs[0], "\n6 Datensaetze in Qvs301Awb eingefuegt\n");
    EXPECT_EQ(outputs[1], outputs[0]);

    kt::exec("SET GLOBAL lock_wait_timeout = 1");
    for (int w = 0; w < 2; ++w) {
        kt::resetSchema();
        kt::Session other;
        ASSERT_EQ(other.exec("LOCK TABLES RURUVURO.MGSST20P WRITE"), 0);
        kt::Sandbox box;
        box.writeFile("in.txt", record20P(1) + record20P(2) + record20P(3));
        kt::RunResult run = box.run({w == 0 ? "KELVORA_WINDOW=1" : "KELVORA_WINDOW=1000"}, {"in.txt", "20P", "UPD"});
        other.exec("UNLOCK TABLES");
        outputs[w] = run.out;
        EXPECT_EQ(run.status, 1205 & 0xFF);
    }
    kt::exec("SET GLOBAL lock_wait_timeout = DEFAULT");
    EXPECT_EQ(outputs[0], "  Trm " + terminalOf(1) + ": Write-Fehler: 1205\nTransaktion abgebrochen, Fehler: 1205\n");
    EXPECT_EQ(outputs[1], outputs[0]);
    kt::resetSchema();
}

// A server that takes only small queries: the windows stay below its
// max_allowed_packet, and the run is the run of one statement per query.
TEST(TransactionFault, WindowsStayBelowTheServersLargestQuery) {
    kt::resetSchema();
    kt::exec("SET GLOBAL max_allowed_packet = 65536");
    kt::Sandbox box;
    box.writeFile("in.txt", records20P(400));
    kt::RunResult run = box.run({"in.txt", "20P"});
    kt::exec("SET GLOBAL max_allowed_packet = DEFAULT");
    EXPECT_EQ(run.out, countMessage(400));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kt::countRows(Table), 400);
}

// A very large file imports completely, and the program's peak memory is
// that of a small file: it holds one window of records at a time, never the
// file. Run with standard error on a terminal, the long run shows its
// progress line there, rewritten in place and cleared before the summary;
// without a terminal there is none.
TEST(LargeFile, ImportsCompletelyInTheMemoryOfASmallFile) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("small.txt", records20P(SmallFileRecords));
    kt::RunResult small = box.run({"small.txt", "20P"});
    EXPECT_EQ(small.out, countMessage(SmallFileRecords));
    EXPECT_EQ(small.status, 0);
    EXPECT_EQ(small.err.find("records read"), std::string::npos) << small.err;

    writeRecords20P(box.path("large.txt"), LargeFileRecords);
    kt::RunningProgram running = box.start({"large.txt", "20P"}, true);
    kt::RunResult large = box.wait(running, LargeRunTimeoutSeconds);
    EXPECT_EQ(large.out, countMessage(LargeFileRecords));
    EXPECT_EQ(large.status, 0);
    size_t progress = large.err.find("\rKelvora_MYSQL: 20P: ");
    size_t summary = large.err.rfind("Kelvora_MYSQL: 20P large.wrk: 1000000 lines, 1000000 written");
    EXPECT_NE(progress, std::string::npos) << large.err.substr(0, 500);
    EXPECT_TRUE(large.err.find("% of the file") != std::string::npos) << large.err.substr(0, 500);
    ASSERT_NE(summary, std::string::npos) << large.err.substr(0, 2000);
    EXPECT_LT(progress, summary);
    EXPECT_EQ(large.err.substr(summary - 4, 4), "\r\033[K") << "the progress line is not cleared before the summary";
    EXPECT_EQ(kt::countRows(Table), LargeFileRecords);
    EXPECT_EQ(kt::query("SELECT MAX(M20Trm) FROM RURUVURO.MGSST20P")[0][0],
              kt::Cell(terminalOf(LargeFileRecords)));

    ASSERT_GT(small.maxRssKb, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer freed blocks stay in its quarantine (up to 256 MB),
    // so the peak grows with the number of allocations the client library
    // makes per statement; the comparison means something only without it.
    EXPECT_LE(large.maxRssKb, small.maxRssKb + MemoryMarginKb)
        << "small file: " << small.maxRssKb << " KiB, large file: " << large.maxRssKb << " KiB";
#endif
    kt::resetSchema();   // leaves no million rows to the tests that follow
}
