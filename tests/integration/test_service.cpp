// kelvora-watch and the importer under a service manager: on the journal's
// stream each line leads with its priority, anywhere else it does not; and
// the watcher speaks the notification protocol to a real datagram socket,
// as systemd would listen on it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "harness.h"

namespace {

constexpr int WaitSeconds = 60;
constexpr int FilesFailedStatus = 1;
constexpr int SettleMilliseconds = 1100;  // the site's settle time of 1 s, and a little
// The watchdog's time the test gives: a ping is due every 200 ms.
constexpr const char* WatchdogMicroseconds = "400000";
constexpr int IdleMilliseconds = 1500;
// Pings expected in the idle time at least: about 7 are due, the loop's own
// rescan alone (once a second) would give 1 or 2.
constexpr int LeastIdlePings = 4;
const char* const Sections = "[file *20P*]\ntype = 20P\n[file FTG*]\ntype = FTG\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The device and inode of a file as JOURNAL_STREAM names the journal's.
std::string streamOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) ADD_FAILURE() << "stat " << path << ": " << strerror(errno);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// Runs command under /bin/sh in dir with standard error appended to log,
// JOURNAL_STREAM naming stream; its exit status.
int runWithStream(const std::string& dir, const std::string& stream, const std::string& command,
                  const std::string& log) {
    return kt::shell("cd '" + dir + "' && JOURNAL_STREAM=" + stream + " " + command + " >/dev/null 2>>'" + log + "'");
}

// The first line of text that holds part; empty when none does.
std::string lineWith(const std::string& text, const std::string& part) {
    for (const std::string& line : kt::lines(text)) {
        if (contains(line, part)) return line;
    }
    return "";
}

// The datagram socket a service manager listens on, bound at path.
UniqueFd bindNotifySocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) ADD_FAILURE() << "socket path too long: " << path;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot bind " << path << ": " << strerror(errno);
    }
    return fd;
}

// The messages that arrive within milliseconds, or until one holds until
// (when not empty); all are appended to seen.
std::vector<std::string> receive(int fd, int milliseconds, const std::string& until, std::vector<std::string>& seen) {
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        got.emplace_back(buffer, static_cast<size_t>(n));
        seen.push_back(got.back());
        if (!until.empty() && contains(got.back(), until)) break;
    }
    return got;
}

// How many of the messages hold part.
int countWith(const std::vector<std::string>& messages, const std::string& part) {
    int count = 0;
    for (const std::string& message : messages) count += contains(message, part) ? 1 : 0;
    return count;
}

// Whether another process holds a write lock on the file (the drop
// folder's lock file).
bool lockedByOther(const std::string& path) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd.get(), F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// The messages, each in brackets, for a failure's text.
std::string joined(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& message : messages) text += "[" + message + "]\n";
    return text;
}

}  // namespace

// On the journal's stream (JOURNAL_STREAM names the device and inode of
// standard error) the watcher's lines carry <3> for a run that failed, <4>
// for a refused file and one no section takes, <6> for the rest; the
// importer's too. The importer's standard error that the watcher keeps in
// the run folder, a file, carries none although it inherits the variable,
// and a standard error that is not the stream named gets the lines as
// ever, byte for byte.
TEST(Service, LinesOnTheJournalStreamCarryTheirPriorityAndNoneElsewhere) {
    kt::resetSchema();
    kt::exec("DROP TABLE MGSSTFTG");
    kt::WatchSite site(Sections);
    const std::string samples = site.folder("samples");
    ASSERT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, {"--clean", samples, "2", "FTG"}, site.box().workDir()).status, 0);
    std::filesystem::rename(samples + "/FTG.txt", site.folder("drop") + "/FTG_0001.txt");
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    site.deliver("20P_0002.txt", kt::records20P(4, 5) + kt::record20P(6).substr(0, 50));
    site.deliver("unknown.csv", "x\n");
    const std::string journal = site.folder("journal.log");
    kt::shell("touch '" + journal + "'");
    std::this_thread::sleep_for(std::chrono::milliseconds(SettleMilliseconds));
    const std::string watch = std::string(KELVORA_WATCH) + " --config '" + site.config() + "' --once";
    EXPECT_EQ(runWithStream(site.box().root(), streamOf(journal), watch, journal), FilesFailedStatus);
    const std::string log = kt::fileText(journal);
    for (const std::string& line : kt::lines(log)) {
        EXPECT_TRUE(line.rfind("<3>kelvora-watch: ", 0) == 0 || line.rfind("<4>kelvora-watch: ", 0) == 0 ||
                    line.rfind("<6>kelvora-watch: ", 0) == 0)
            << line;
    }
    EXPECT_EQ(lineWith(log, "FTG_0001.txt FTG: to ").substr(0, 3), "<3>") << log;
    EXPECT_EQ(lineWith(log, "20P_0002.txt 20P: to ").substr(0, 3), "<4>") << log;
    EXPECT_EQ(lineWith(log, "unknown.csv matches no").substr(0, 3), "<4>") << log;
    EXPECT_EQ(lineWith(log, "20P_0001.txt 20P: archived").substr(0, 3), "<6>") << log;
    EXPECT_EQ(lineWith(log, "stopped").substr(0, 3), "<6>") << log;
    std::string ftgRun;
    for (const std::string& folder : site.runFolders("failed")) {
        if (contains(folder, "FTG_0001")) ftgRun = folder;
    }
    ASSERT_FALSE(ftgRun.empty()) << log;
    const std::vector<std::string> importerErr = kt::lines(site.runFile("failed", ftgRun, "stderr.txt"));
    ASSERT_FALSE(importerErr.empty());
    for (const std::string& line : importerErr) EXPECT_EQ(line.rfind("Kelvora_MYSQL: ", 0), 0u) << line;

    const kt::Sandbox& box = site.box();
    box.writeFile("20P_0009.txt", kt::records20P(1, 2));
    const std::string plain = site.folder("plain.log");
    const std::string importer = std::string(KELVORA_PROGRAM) + " missing.txt 20P";
    EXPECT_EQ(runWithStream(box.workDir(), streamOf(journal), importer, plain),
              runWithStream(box.workDir(), streamOf(journal), importer, journal));
    EXPECT_EQ(
        runWithStream(box.workDir(), streamOf(journal), std::string(KELVORA_PROGRAM) + " 20P_0009.txt 20P", journal),
        0);
    const std::string withImporter = kt::fileText(journal);
    const std::string notFound =
        "Kelvora_MYSQL: source file missing.txt not found (working directory " + box.workDir() + ")";
    EXPECT_EQ(lineWith(withImporter, notFound), "<3>" + notFound) << withImporter;
    EXPECT_EQ(lineWith(withImporter, "Kelvora_MYSQL: 20P 20P_0009.wrk: 2 lines").substr(0, 3), "<6>") << withImporter;
    const std::vector<std::string> plainLines = kt::lines(kt::fileText(plain));
    ASSERT_FALSE(plainLines.empty());
    EXPECT_EQ(plainLines[0], notFound);
    for (const std::string& line : plainLines) EXPECT_EQ(line.rfind("Kelvora_MYSQL: ", 0), 0u) << line;
}

// Under a service manager's socket (NOTIFY_SOCKET) and watchdog
// (WATCHDOG_USEC): READY=1 once the drop folder's lock is held, with the
// status; WATCHDOG=1 again and again while nothing happens, and the status
// not sent again while it stays the same; the status while a file is
// imported and after, naming the last import; STOPPING=1 at SIGTERM.
TEST(Service, TellsTheServiceManagerReadyStatusWatchdogAndStopping) {
    kt::resetSchema();
    kt::WatchSite site(Sections);
    const std::string socketPath = site.folder("notify");
    const UniqueFd socketFd = bindNotifySocket(socketPath);
    ASSERT_TRUE(socketFd.valid());
    const int listener = socketFd.get();
    const std::vector<std::string> command = {"NOTIFY_SOCKET=" + socketPath,
                                              std::string("WATCHDOG_USEC=") + WatchdogMicroseconds, KELVORA_WATCH,
                                              "--config", site.config()};
    kt::RunningProgram watcher = kt::startProgram("/usr/bin/env", command, site.box().root());
    std::vector<std::string> seen;
    const std::vector<std::string> first = receive(listener, WaitSeconds * 1000, "READY=1", seen);
    const bool locked = lockedByOther(site.folder("drop") + "/.kelvora-watch.lock");
    const std::vector<std::string> idle = receive(listener, IdleMilliseconds, "", seen);
    site.deliver("20P_0001.txt", kt::records20P(1, 3));
    receive(listener, WaitSeconds * 1000, "STATUS=importing 1 file: 20P_0001.txt (20P)", seen);
    receive(listener, WaitSeconds * 1000, "last import: 20P_0001.txt 20P archived at ", seen);
    kill(watcher.pid, SIGTERM);
    receive(listener, WaitSeconds * 1000, "STOPPING=1", seen);
    kt::RunResult run = kt::waitProgram(watcher);
    const std::string all = joined(seen) + run.err;
    ASSERT_FALSE(first.empty()) << all;
    EXPECT_TRUE(contains(first.back(), "READY=1")) << all;
    EXPECT_TRUE(contains(first.back(),
                         "STATUS=waiting for files in " + site.folder("drop") + "; last import: none since the start"))
        << all;
    EXPECT_TRUE(locked) << "READY=1 came before the drop folder was locked";
    EXPECT_GE(countWith(idle, "WATCHDOG=1"), LeastIdlePings) << all;
    EXPECT_EQ(countWith(idle, "STATUS="), 0) << all;
    EXPECT_EQ(countWith(seen, "STATUS=importing 1 file: 20P_0001.txt (20P)"), 1) << all;
    EXPECT_EQ(countWith(seen, "STATUS=waiting for files in " + site.folder("drop") +
                                  "; last import: 20P_0001.txt 20P archived at "),
              1)
        << all;
    EXPECT_EQ(countWith(seen, "STOPPING=1"), 1) << all;
    EXPECT_EQ(run.status, 0) << all;
    EXPECT_EQ(site.runFolders("archive").size(), 1u) << all;
}
