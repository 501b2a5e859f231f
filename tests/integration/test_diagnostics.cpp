// What the operator reads on standard error. Standard output and the exit
// status belong to the calling scripts: each test holds them to what they
// are without the diagnostic, and checks that the line on standard error
// names what it must.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "settings/cipher.h"

namespace {

const std::string WrongLength = "Datensatz mit falscher Satzlaenge!!";

std::string record20P(const std::string& terminal, const std::string& ofb = "0002") {
    return kt::field(terminal, 255) + "01A0000100" + "01" + kt::field(ofb, 4) + "\n";
}

std::string count20P(int count) {
    return "\n" + std::to_string(count) + " Datensaetze in MGSST20P eingefuegt\n";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}


// A hex text of one block that does not decrypt to printable text.
std::string garbledValue() {
    for (int seed = 0; seed < 1000; ++seed) {
        char hex[17];
        snprintf(hex, sizeof hex, "%016X", seed * 7919u);
        char plain[16];
        decryptHexText(hex, plain, sizeof plain, SettingsCipherKey);
        for (const char* p = plain; *p != '\0'; ++p) {
            if (static_cast<unsigned char>(*p) < 0x20) return hex;
        }
    }
    return "";
}

std::string workingDirectoryOf(const kt::Sandbox& box) {
    char resolved[4096];
    return realpath(box.workDir().c_str(), resolved) != nullptr ? resolved : box.workDir();
}

}  // namespace

// The settings file missing, a value that does not decrypt, an empty
// login, a server that is not there: stdout keeps its one line, and
// standard error says which file, which key, which socket.
TEST(Diagnostics, SettingsAndConnectionFailuresNameTheirCause) {
    kt::Sandbox box;
    box.writeFile("in.txt", record20P("A"));
    const std::string settings = box.root() + "/Files/Corvantis.Ini";

    kt::shell("rm -f '" + settings + "'");
    kt::RunResult missing = box.run({"in.txt", "20P"});
    EXPECT_EQ(missing.out, "Datenbankverbindung fehlgeschlagen, Fehler: 1045\n");
    EXPECT_EQ(missing.status, 1045 & 0xFF);
    EXPECT_TRUE(contains(missing.err, "../../Files/Corvantis.Ini")) << missing.err;
    EXPECT_TRUE(contains(missing.err, workingDirectoryOf(box))) << missing.err;

    box.writeSettings("", kt::TestPassword, "MYSQL", "localhost");
    kt::RunResult empty = box.run({"in.txt", "20P"});
    EXPECT_EQ(empty.out, missing.out);
    EXPECT_TRUE(contains(empty.err, "login is empty") && contains(empty.err, "LOGIN")) << empty.err;

    const std::string garbled = garbledValue();
    ASSERT_FALSE(garbled.empty());
    box.writeSettings(kt::TestLogin, kt::TestPassword, "MYSQL", "localhost");
    std::string text = box.readFile("../../Files/Corvantis.Ini");
    size_t pass = text.find(";PASS;");
    ASSERT_NE(pass, std::string::npos);
    size_t end = text.find('\n', pass);
    text.replace(pass + 6, end - pass - 6, garbled);
    box.writeFile("../../Files/Corvantis.Ini", text);
    kt::RunResult wrong = box.run({"in.txt", "20P"});
    EXPECT_EQ(wrong.out, missing.out);
    EXPECT_TRUE(contains(wrong.err, "PASS did not decrypt")) << wrong.err;
    EXPECT_TRUE(contains(wrong.err, "user kelvora") && contains(wrong.err, "RURUVURO")) << wrong.err;

    box.writeSettings(kt::TestLogin, kt::TestPassword, "MYSQL", "localhost");
    const std::string socket = box.root() + "/absent.sock";
    kt::RunResult absent = box.run({"MYSQL_UNIX_PORT=" + socket}, {"in.txt", "20P"});
    EXPECT_EQ(absent.out, "Datenbankverbindung fehlgeschlagen, Fehler: 2002\n");
    EXPECT_EQ(absent.status, 2002 & 0xFF);
    EXPECT_TRUE(contains(absent.err, "local socket " + socket)) << absent.err;
    EXPECT_TRUE(contains(absent.err, "MYSQL_UNIX_PORT (" + socket + ")")) << absent.err;
    EXPECT_TRUE(contains(absent.err, "MYSQL_TCP_PORT")) << absent.err;
    EXPECT_EQ(box.readFile("in.txt"), record20P("A"));
}

// A table the type code writes is missing: every record fails as it always
// did, and standard error names the table once.
TEST(Diagnostics, MissingTableIsNamed) {
    kt::resetSchema();
    kt::exec("DROP TABLE RURUVURO.MGSST20P");
    kt::Sandbox box;
    box.writeFile("in.txt", record20P("A"));
    kt::RunResult run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, "  Trm A: Insert-Fehler: 1146\n" + count20P(0));
    EXPECT_EQ(run.status, 1146 & 0xFF);
    EXPECT_TRUE(contains(run.err, "table RURUVURO.MGSST20P does not exist")) << run.err;
    kt::resetSchema();
}

// A server that compares table names case-sensitively: the statements'
// three spellings of the schema cannot all work, and the operator is told.
TEST(Diagnostics, CaseSensitiveTableNamesAreWarnedOf) {
    const std::string dir = "/tmp/kelvora-case-" + std::to_string(getpid());
    const std::string testdb = "'" + kt::sourceDir() + "/scripts/testdb' ";
    ASSERT_EQ(kt::shell("TESTDB_LOWER_CASE_TABLE_NAMES=0 " + testdb + "start " + dir + " >/dev/null 2>&1"), 0);
    kt::Sandbox box;
    box.writeFile("in.txt", record20P("A"));
    kt::RunResult run = box.run({"MYSQL_UNIX_PORT=" + dir + "/mysqld.sock"}, {"in.txt", "20P"});
    kt::shell(testdb + "stop " + dir + " >/dev/null 2>&1; rm -rf " + dir);
    std::vector<std::string> out = kt::lines(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    EXPECT_EQ(out[0].rfind("  Trm A: Insert-Fehler: ", 0), 0u) << run.out;
    EXPECT_TRUE(contains(run.err, "lower_case_table_names = 0")) << run.err;
}

// A retried run whose source is gone, and a source that is a directory.
TEST(Diagnostics, FileProblemsAreNamed) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("in.wrk", record20P("A"));
    kt::RunResult retry = box.run({"in.txt", "20P"});
    EXPECT_EQ(retry.out, "");
    EXPECT_EQ(retry.status, 99);
    EXPECT_TRUE(contains(retry.err, "source file in.txt not found (working directory " + workingDirectoryOf(box)))
        << retry.err;
    EXPECT_TRUE(contains(retry.err, "run the work file's name: Kelvora_MYSQL in.wrk")) << retry.err;

    kt::shell("mkdir -p '" + box.path("batch.d") + "'");
    kt::RunResult directory = box.run({"batch.d", "20P"});
    EXPECT_EQ(directory.out, "");
    EXPECT_EQ(directory.status, 99);
    EXPECT_TRUE(contains(directory.err, "batch.d is not a regular file (a directory)")) << directory.err;

}

// Options in a place where they do not count are named, and the run is the
// run without them.
TEST(Diagnostics, IgnoredArgumentsAreNamed) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("in.txt", record20P("A"));
    kt::RunResult plain = box.run({"in.txt", "20P"});
    box.writeFile("in.txt", record20P("A"));
    kt::RunResult typo = box.run({"in.txt", "20P", "UDP"});
    EXPECT_EQ(typo.out, plain.out);
    EXPECT_EQ(typo.status, plain.status);
    EXPECT_TRUE(contains(typo.err, "\"UDP\" is neither UPD nor /D")) << typo.err;

    box.writeFile("in.txt", record20P("A"));
    kt::RunResult swapped = box.run({"in.txt", "20P", "/D", "UPD", "extra"});
    EXPECT_EQ(swapped.out, plain.out);
    EXPECT_TRUE(contains(swapped.err, "third argument \"/D\" is ignored")) << swapped.err;
    EXPECT_TRUE(contains(swapped.err, "fourth argument \"UPD\" is ignored")) << swapped.err;
    EXPECT_TRUE(contains(swapped.err, "1 arguments after the fourth are ignored")) << swapped.err;
    EXPECT_FALSE(contains(plain.err, "ignored")) << plain.err;
}

// Failed and rejected records: the first twenty one by one with the line,
// the server's error and its text, the rest as a number; the summary is the
// last line of every run, with the failures that an exit status of 0 hides.
TEST(Diagnostics, FailedRecordsAndTheSummary) {
    kt::resetSchema();
    kt::Sandbox box;
    std::string file = "short\n";
    for (int i = 0; i < 25; ++i) file += record20P("A");
    file += "\n" + record20P("B");
    box.writeFile("in.txt", file);
    kt::RunResult run = box.run({"in.txt", "20P"});
    std::string expected = WrongLength;
    for (int i = 1; i < 25; ++i) expected += "  Trm A: Insert-Fehler: 1062\n";
    EXPECT_EQ(run.out, expected + count20P(2));
    EXPECT_EQ(run.status, 0);

    std::vector<std::string> err = kt::lines(run.err);
    ASSERT_GE(err.size(), 3u) << run.err;
    EXPECT_TRUE(contains(err[0], "in.wrk line 1: wrong length 6, a record has 272")) << err[0];
    EXPECT_TRUE(contains(err[1], "in.wrk line 3: the server refused the record with error 1062: Duplicate entry"))
        << err[1];
    EXPECT_TRUE(contains(run.err, "line 21: the server refused")) << run.err;
    EXPECT_FALSE(contains(run.err, "line 22: the server refused")) << run.err;
    EXPECT_TRUE(contains(run.err, "in.wrk: 5 more failed or rejected records are not listed")) << run.err;
    EXPECT_EQ(err.back().rfind("Kelvora_MYSQL: 20P in.wrk: 28 lines, 2 written, 24 failed, 1 wrong length, "
                               "1 lone newlines skipped, committed, exit 0, ", 0),
              0u)
        << err.back();
}
