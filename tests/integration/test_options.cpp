// The option file: TLS for a login that the server admits only encrypted
// (the fixture's server offers TLS with a certificate that scripts/testdb
// made with openssl), no session in clear text where TLS is asked for, and
// the refusal, before any connection, of a file that sets what only the
// settings file may set.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const char* const TlsLogin = "kelvora_tls";
const char* const TlsPassword = "tls-only";
constexpr int AccessDeniedStatus = 1045 & 0xFF;
constexpr int RefusedOptionFileStatus = 2000 & 0xFF;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The server's count of connection attempts, failed ones included.
long connectionAttempts() {
    std::vector<kt::Row> rows = kt::query("SHOW GLOBAL STATUS LIKE 'Connections'");
    return rows.size() == 1 && rows[0][1] ? std::stol(*rows[0][1]) : -1;
}

std::string fcdRecord(const std::string& number) {
    return kt::field("00001", 5) + kt::field("00001", 5) + kt::field(number, 3) + "J" + kt::field("Kommen", 50) +
           "\n";
}

std::string withOptionFile(const kt::Sandbox& box, const std::string& name) {
    return "KELVORA_OPTION_FILE=" + box.path(name);
}

}  // namespace

TEST(OptionFile, TlsThroughTheFileAndNoConnectionForAFileThatSetsTheLogin) {
    kt::resetSchema();
    const std::string account = std::string("'") + TlsLogin + "'@'localhost'";
    kt::exec("CREATE USER IF NOT EXISTS " + account + " IDENTIFIED BY '" + TlsPassword + "' REQUIRE SSL");
    kt::exec("GRANT ALL PRIVILEGES ON RURUVURO.* TO " + account);
    kt::Sandbox box;
    box.writeSettings(TlsLogin, TlsPassword, "MYSQL", "localhost");
    box.writeFile("tls.cnf", "# as an operator writes it\n[kelvora]\nssl-ca = " + kt::testdbDir() +
                                 "/tls/ca.pem\nssl-verify-server-cert = 1\nconnect-timeout = 10\n");

    box.writeFile("in.txt", fcdRecord("001"));
    kt::RunResult plain = box.run({withOptionFile(box, "absent.cnf")}, {"in.txt", "FCD"});
    EXPECT_EQ(plain.out, "Datenbankverbindung fehlgeschlagen, Fehler: 1045\n");
    EXPECT_EQ(plain.status, AccessDeniedStatus);

    box.writeFile("in.txt", fcdRecord("002"));
    kt::RunResult encrypted = box.run({withOptionFile(box, "tls.cnf")}, {"in.txt", "FCD"});
    EXPECT_EQ(encrypted.out, "\n1 Datensaetze in MGSSTFCD eingefuegt\n");
    EXPECT_EQ(encrypted.status, 0) << encrypted.err;
    std::vector<kt::Row> written = {{"002"}};
    EXPECT_EQ(kt::query("SELECT FCDNum FROM MGSSTFCD"), written);

    kt::RunResult shown = kt::runProgram(
        "/usr/bin/env", {withOptionFile(box, "tls.cnf"), KELVORA_SETTINGS_TOOL, "check"}, box.workDir());
    EXPECT_TRUE(contains(shown.out, "option file: " + box.path("tls.cnf") + "\n")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "encryption: TLSv1")) << shown.out;

    // Refused before connecting: the server sees no attempt, and the source
    // stays where it is, as after any failed connection.
    for (const char* setting : {"user = root", "password = other", "host = elsewhere", "database = mysql",
                                "default-character-set = utf8mb4"}) {
        SCOPED_TRACE(setting);
        box.writeFile("bad.cnf", "[client]\nssl-ca = " + kt::testdbDir() + "/tls/ca.pem\n" + setting + "\n");
        box.writeFile("in.txt", fcdRecord("003"));
        long attempts = connectionAttempts();
        kt::RunResult refused = box.run({withOptionFile(box, "bad.cnf")}, {"in.txt", "FCD"});
        EXPECT_EQ(connectionAttempts(), attempts);
        EXPECT_EQ(refused.out, "Datenbankverbindung fehlgeschlagen, Fehler: 2000\n");
        EXPECT_EQ(refused.status, RefusedOptionFileStatus);
        std::string name = std::string(setting).substr(0, std::string(setting).find(' '));
        EXPECT_TRUE(contains(refused.err, "bad.cnf sets " + name + ":")) << refused.err;
        EXPECT_TRUE(box.exists("in.txt"));
    }
    EXPECT_EQ(kt::query("SELECT FCDNum FROM MGSSTFCD"), written);
    kt::exec("DROP USER " + account);
}

// The client library goes on without TLS where the server offers none, even
// with ssl-verify-server-cert = 1; a file that asks for TLS, with a
// certificate or only by asking to verify the server's, gets no session in
// clear text.
// A second server, started without TLS, offers none.
TEST(OptionFile, TlsAskedOfAServerWithoutItSendsNothing) {
    const std::string dir = "/tmp/kelvora-plain-" + std::to_string(getpid());
    const std::string testdb = "'" + kt::sourceDir() + "/scripts/testdb' ";
    ASSERT_EQ(kt::shell(testdb + "start " + dir + " >/dev/null 2>&1"), 0);
    kt::Sandbox box;
    box.writeFile("tls.cnf", "[kelvora]\nssl-ca = " + kt::testdbDir() + "/tls/ca.pem\n");
    box.writeFile("verify.cnf", "[kelvora]\nssl-verify-server-cert = 1\n");
    std::vector<kt::RunResult> runs;
    for (const char* file : {"tls.cnf", "verify.cnf"}) {
        box.writeFile("in.txt", fcdRecord("004"));
        runs.push_back(box.run({withOptionFile(box, file), "MYSQL_UNIX_PORT=" + dir + "/mysqld.sock"},
                               {"in.txt", "FCD"}));
        EXPECT_TRUE(box.exists("in.txt")) << file;
    }
    kt::shell(testdb + "stop " + dir + " >/dev/null 2>&1; rm -rf " + dir);
    for (const kt::RunResult& run : runs) {
        EXPECT_EQ(run.out, "Datenbankverbindung fehlgeschlagen, Fehler: 2026\n");
        EXPECT_EQ(run.status, 2026 & 0xFF);
    }
    EXPECT_TRUE(contains(runs[0].err, "asks for TLS, but the server did not encrypt the session")) << runs[0].err;
}

// The login, host, database and character set are found by reading the
// file as the client library does: under the other spellings it takes, in
// each group it reads and through "!include"; not in a group it skips, and
// not where the value is empty. An empty init-command is refused, where the
// client library would fail while reading it.
TEST(OptionFile, TheSettingsFileOnlyLoginIsFoundWhereverTheLibraryReadsIt) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("included.cnf", "[client-server]\ndb = mysql\n");
    const struct {
        const char* text;
        const char* names;   // what the refusal names, or "" for a file that is used
    } files[] = {
        {"[client-mariadb]\npasswd = 'other'\n", "password"},
        {"[kelvora]\ndefault_character_set = latin1\ncharacter_sets_dir = /tmp\n",
         "default-character-set, character-sets-dir"},
        {"[client]\nssl-ca = /tmp\n!include INCLUDED\n", "database"},
        {"[client]\nuser = root\ninit-command =\n", "user, init-command"},
        {"[mysqld]\nuser = root\n[KELVORA]\nhost = elsewhere\n[client]\nuser =\npassword = \"\"\n", ""},
    };
    for (const auto& file : files) {
        std::string text = file.text;
        size_t include = text.find("INCLUDED");
        if (include != std::string::npos) text.replace(include, 8, box.path("included.cnf"));
        SCOPED_TRACE(text);
        box.writeFile("some.cnf", text);
        box.writeFile("in.txt", fcdRecord("005"));
        long attempts = connectionAttempts();
        kt::RunResult run = box.run({withOptionFile(box, "some.cnf")}, {"in.txt", "FCD"});
        if (file.names[0] != '\0') {
            EXPECT_EQ(connectionAttempts(), attempts);
            EXPECT_EQ(run.status, RefusedOptionFileStatus);
            EXPECT_TRUE(contains(run.err, "some.cnf sets " + std::string(file.names) + ":")) << run.err;
            EXPECT_TRUE(box.exists("in.txt"));
        } else {
            EXPECT_EQ(run.out, "\n1 Datensaetze in MGSSTFCD eingefuegt\n");
            EXPECT_EQ(run.status, 0) << run.err;
        }
    }
}
