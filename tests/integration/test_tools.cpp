// The tools around the importer as an operator uses them: the settings file
// written with a private mode, its check against the fixture's server (the
// connection, and the tables and rights of every type code and of the
// journal), the record layouts that the sample generator prints and the
// manual page shows, and the help of the tools.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const char* const SettingsFromWorkDir = "../../Files/Corvantis.Ini";
const char* const NewSettingsFromWorkDir = "../../Files/new.ini";

std::vector<std::string> writeArguments(const std::string& login, const std::string& password) {
    return {"write", "--login", login, "--pass", password, "--db-system", "MYSQL", "--host", "localhost"};
}

std::vector<std::string> withOutput(std::vector<std::string> args, const std::string& path) {
    args.push_back("--output");
    args.push_back(path);
    return args;
}

// The permission bits of a file, or -1 when it is not there.
int fileMode(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

// The names in a directory, "." and ".." left out.
int entryCount(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    closedir(directory);
    return count;
}

kt::RunResult settingsTool(const kt::Sandbox& box, const std::vector<std::string>& args) {
    return kt::runProgram(KELVORA_SETTINGS_TOOL, args, box.workDir());
}

}  // namespace

// The umask is opened wide for the tool, so the file's mode can only come
// from the tool itself.
TEST(SettingsTool, WriteOutputCreatesAPrivateFileAndReplacesItOnlyWhenForced) {
    kt::Sandbox box;
    const std::string target = box.path(NewSettingsFromWorkDir);
    const std::string filesDir = box.root() + "/Files";
    mode_t savedMask = umask(0);

    kt::RunResult printed = settingsTool(box, writeArguments("first", "secret-1"));
    kt::RunResult written = settingsTool(box, withOutput(writeArguments("first", "secret-1"), target));
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(fileMode(target), 0600);
    EXPECT_EQ(box.readFile(NewSettingsFromWorkDir), printed.out);

    kt::RunResult refused = settingsTool(box, withOutput(writeArguments("second", "secret-2"), target));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(box.readFile(NewSettingsFromWorkDir), printed.out);

    chmod(target.c_str(), 0644);
    kt::RunResult second = settingsTool(box, writeArguments("second", "secret-2"));
    std::vector<std::string> forcedArgs = withOutput(writeArguments("second", "secret-2"), target);
    forcedArgs.push_back("--force");
    kt::RunResult forced = settingsTool(box, forcedArgs);
    umask(savedMask);
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(fileMode(target), 0600);
    EXPECT_EQ(box.readFile(NewSettingsFromWorkDir), second.out);
    EXPECT_NE(second.out, printed.out);
    EXPECT_EQ(entryCount(filesDir), 2) << "only Corvantis.Ini and new.ini, no temporary file";
}

// check reads the file the importer reads (from its working directory, or
// the file named), shows no password and connects as the importer does.
TEST(SettingsTool, CheckShowsTheValuesAndConnectsOrNamesTheServersError) {
    kt::resetSchema();
    kt::Sandbox box;
    kt::RunResult ok = settingsTool(box, {"check"});
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("LOGIN:     kelvora\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("PASS:      set (not shown)\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("DB_SYSTEM: MYSQL\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("NET8:      localhost\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("connection: ok, database RURUVURO\n"), std::string::npos) << ok.out;
    EXPECT_EQ(ok.out.find(kt::TestPassword), std::string::npos) << ok.out;

    box.writeSettings(kt::TestLogin, "not-the-password", "MYSQL", "localhost");
    kt::RunResult denied = settingsTool(box, {"check", "..\\..\\Files\\Corvantis.Ini"});
    EXPECT_EQ(denied.status, 1);
    EXPECT_NE(denied.out.find("connection: failed, error 1045: Access denied for user 'kelvora'"),
              std::string::npos) << denied.out;
    EXPECT_EQ(denied.out.find("not-the-password"), std::string::npos) << denied.out;

    box.writeSettings("", "any", "MYSQL", "localhost");
    kt::RunResult noLogin = settingsTool(box, {"check", SettingsFromWorkDir});
    EXPECT_EQ(noLogin.status, 1);
    EXPECT_NE(noLogin.out.find("connection: not tried, the login is empty"), std::string::npos)
        << noLogin.out;

    kt::RunResult missing = settingsTool(box, {"check", "absent.ini"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}

// --help is a request, not a command or a folder: usage on standard output,
// status 0, nothing created.
TEST(SettingsTool, HelpAndVersionOfTheTools) {
    kt::Sandbox box;
    kt::RunResult help = settingsTool(box, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: kelvora-settings encrypt VALUE\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("check [FILE]"), std::string::npos) << help.out;

    kt::RunResult version = settingsTool(box, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("kelvora-settings ") + KELVORA_VERSION + "\n");

    kt::RunResult samples = kt::runProgram(KELVORA_SAMPLES_TOOL, {"--help"}, box.workDir());
    EXPECT_EQ(samples.status, 0);
    EXPECT_EQ(samples.out.rfind("usage: kelvora-samples", 0), 0u) << samples.out;
    EXPECT_FALSE(box.exists("--help"));
}

namespace {

constexpr int AccessDeniedForTable = 1142;   // the server's "command denied to user"

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The lines of text that start with prefix.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

}  // namespace

// The rights come from the server's privilege tables and the needs from the
// members: a missing table fails its type code alone; a login without DELETE
// fails every type code that deletes, and names the tables (35P needs no
// DELETE on QVS401ZLS), and says that 35P works with UPD (BKL does not: its
// sweep deletes in either way). The KST run with that login then fails at
// its sweep.
TEST(SettingsTool, CheckNamesTheTypeCodesThatWouldFailAndWhy) {
    kt::resetSchema();
    kt::Sandbox box;
    kt::RunResult whole = settingsTool(box, {"check"});
    EXPECT_EQ(whole.status, 0) << whole.out;
    EXPECT_TRUE(contains(whole.out, "type codes: every one has its tables and rights, with and without UPD\n"))
        << whole.out;

    kt::exec("DROP TABLE MGSSTFCD");
    kt::RunResult noTable = settingsTool(box, {"check"});
    EXPECT_EQ(noTable.status, 1);
    std::vector<std::string> expected = {"would fail: FCD (MGSSTFCD missing)"};
    EXPECT_EQ(linesStartingWith(noTable.out, "would fail:"), expected) << noTable.out;

    kt::resetSchema();
    kt::exec("CREATE USER IF NOT EXISTS 'kelvora_nodelete'@'localhost' IDENTIFIED BY 'no-delete'");
    kt::exec("GRANT SELECT, INSERT, UPDATE ON RURUVURO.* TO 'kelvora_nodelete'@'localhost'");
    box.writeSettings("kelvora_nodelete", "no-delete", "MYSQL", "localhost");
    kt::RunResult lacking = settingsTool(box, {"check"});
    EXPECT_EQ(lacking.status, 1);
    std::vector<std::string> failing = linesStartingWith(lacking.out, "would fail:");
    EXPECT_EQ(failing.size(), 12u) << lacking.out;
    EXPECT_TRUE(contains(lacking.out, "would fail: KST (QVS120KID DELETE)\n")) << lacking.out;
    EXPECT_TRUE(contains(lacking.out, "would fail: 35P (MGSST35P DELETE); with UPD it has what it needs\n"))
        << lacking.out;
    EXPECT_TRUE(contains(lacking.out, "would fail: BKL (QVS301AWB DELETE) and BKL UPD (QVS301AWB DELETE)\n"))
        << lacking.out;

    box.writeFile("in.txt", kt::field("K1", 30) + kt::field("01", 5) + kt::field("L1", 5) + std::string(94, ' ') +
                                "\n");
    kt::RunResult run = box.run({"in.txt", "KST"});
    EXPECT_EQ(run.status, AccessDeniedForTable & 0xFF) << run.err;
    kt::exec("DROP USER 'kelvora_nodelete'@'localhost'");
}

// What grants prints, run on a server that has no such login yet, is all
// a new login needs: it is made with the password of the file given, and
// imports every type code's sample, with and without UPD and with the
// deletion guard, and check then finds nothing missing. Without a file the
// password is a placeholder, said so in a comment.
TEST(SettingsTool, GrantsLetANewLoginImportEveryTypeCode) {
    kt::resetSchema();
    kt::Sandbox box;
    kt::exec("DROP USER IF EXISTS 'kelvora_granted'@'localhost'");
    kt::RunResult placeholder = settingsTool(box, {"grants", "--login", "kelvora_granted"});
    EXPECT_TRUE(contains(placeholder.out, "-- replace REPLACE-WITH-THE-PASSWORD with the login's password\n"
                                          "CREATE USER IF NOT EXISTS 'kelvora_granted'@'%' IDENTIFIED BY "
                                          "'REPLACE-WITH-THE-PASSWORD';\n"))
        << placeholder.out;
    box.writeFile("password", "gr'anted\n");
    kt::RunResult grants = settingsTool(
        box, {"grants", "--login", "kelvora_granted", "--host", "localhost", "--password-from", "password"});
    EXPECT_EQ(grants.status, 0) << grants.err;
    EXPECT_FALSE(contains(grants.out, "REPLACE-WITH")) << grants.out;
    for (const std::string& statement : kt::lines(grants.out)) kt::exec(statement);
    box.writeSettings("kelvora_granted", "gr'anted", "MYSQL", "localhost");
    kt::RunResult check = settingsTool(box, {"check"});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_TRUE(contains(check.out, "deletion guard: has what it needs\n")) << check.out;
    ASSERT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, {"samples", "3"}, box.workDir()).status, 0);
    for (const char* code : {"20P", "35P", "41P", "MND", "IDN", "SLD", "KST", "BKL", "FTG", "MST", "MDT", "FCD"}) {
        for (const bool update : {false, true}) {
            box.writeFile("in.txt", box.readFile(std::string("samples/") + code + ".txt"));
            const std::vector<std::string> args = update ? std::vector<std::string>{"in.txt", code, "UPD"}
                                                         : std::vector<std::string>{"in.txt", code};
            kt::RunResult run = box.run(args);
            EXPECT_EQ(run.status, 0) << code << (update ? " UPD\n" : "\n") << run.out << run.err;
            box.writeFile("in.txt", box.readFile(std::string("samples/") + code + ".txt"));
            kt::RunResult guarded = box.run({"KELVORA_MAX_DELETES=10"}, args);
            EXPECT_EQ(guarded.status, 0) << code << " guarded\n" << guarded.out << guarded.err;
        }
    }
    kt::exec("DROP USER 'kelvora_granted'@'localhost'");
}

// --journal checks the journal's table beside those of the type codes: it
// must exist and the login must select and insert there. What it lacks
// fails the check, and a run with that login then fails at its journal row
// and commits nothing.
TEST(SettingsTool, CheckWithJournalNamesWhatTheJournalLacks) {
    kt::resetSchema();
    kt::resetJournal();
    kt::Sandbox box;
    const std::vector<std::string> check = {"check", "--journal", "KELVORA.RUNS"};
    kt::RunResult whole = settingsTool(box, check);
    EXPECT_EQ(whole.status, 0) << whole.out;
    EXPECT_TRUE(contains(whole.out, "KELVORA.RUNS yes    yes          yes    yes    -      -      journal\n"))
        << whole.out;
    EXPECT_TRUE(contains(whole.out, "journal: KELVORA.RUNS has what the runs need\n")) << whole.out;

    kt::exec(std::string("REVOKE INSERT ON KELVORA.RUNS FROM '") + kt::TestLogin + "'@'localhost'");
    kt::RunResult lacking = settingsTool(box, {"check", SettingsFromWorkDir, "--journal", "KELVORA.RUNS"});
    EXPECT_EQ(lacking.status, 1);
    EXPECT_EQ(linesStartingWith(lacking.out, "would fail:"),
              (std::vector<std::string>{"would fail: journal (KELVORA.RUNS INSERT)"}))
        << lacking.out;
    box.writeFile("in.txt", kt::records20P(1, 2));
    kt::RunResult run = box.run({"KELVORA_JOURNAL=KELVORA.RUNS", "KELVORA_RUN_ID=r1",
                                 "KELVORA_FILE_SHA256=" + std::string(64, '0')},
                                {"in.txt", "20P"});
    EXPECT_EQ(run.status, AccessDeniedForTable & 0xFF) << run.err;
    EXPECT_EQ(kt::countRows("MGSST20P"), 0);

    kt::exec("DROP DATABASE KELVORA");
    kt::RunResult missing = settingsTool(box, check);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(linesStartingWith(missing.out, "would fail:"),
              (std::vector<std::string>{"would fail: journal (KELVORA.RUNS missing)"}))
        << missing.out;
}

// The manual page kelvora-files(5) is written by the build from the same
// descriptions as --layout: every layout stands in it word for word. The
// record length the layout gives is that of the lines the sample generator
// writes, from its own record builders. A missing DIR is created.
TEST(Samples, LayoutsAreThoseOfTheManualPageAndOfTheSamples) {
    std::ifstream pageFile(KELVORA_FILES_PAGE, std::ios::binary);
    ASSERT_TRUE(pageFile) << KELVORA_FILES_PAGE;
    std::stringstream read;
    read << pageFile.rdbuf();
    std::string page;
    for (const std::string& line : linesStartingWith(read.str(), "")) {
        std::string text = line.rfind("\\&", 0) == 0 ? line.substr(2) : line;
        for (size_t at; (at = text.find("\\e")) != std::string::npos;) text.replace(at, 2, "\\");
        page += text + "\n";
    }
    kt::Sandbox box;
    kt::RunResult written = kt::runProgram(KELVORA_SAMPLES_TOOL, {"--clean", "new/samples", "3"}, box.workDir());
    ASSERT_EQ(written.status, 0) << written.err;
    for (const char* code : {"20P", "35P", "41P", "MND", "IDN", "SLD", "KST", "BKL", "FTG", "MST", "MDT", "FCD"}) {
        SCOPED_TRACE(code);
        kt::RunResult layout = kt::runProgram(KELVORA_SAMPLES_TOOL, {"--layout", code}, box.workDir());
        EXPECT_EQ(layout.status, 0);
        EXPECT_TRUE(contains(page, ".SS " + std::string(code) + "\n.EX\n" + layout.out + ".EE\n")) << layout.out;
        long length = -1;
        sscanf(linesStartingWith(layout.out, "record length ").at(0).c_str(), "record length %ld", &length);
        std::string sample = box.readFile(std::string("new/samples/") + code + ".txt");
        EXPECT_EQ(static_cast<long>(sample.find('\n')) + 1, length);
    }
    EXPECT_EQ(kt::runProgram(KELVORA_SAMPLES_TOOL, {"--layout", "XYZ"}, box.workDir()).status, 2);
}
