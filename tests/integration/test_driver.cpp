// A whole run as the calling scripts see it: output bytes, exit status and
// what happens to the source file.
#include <gtest/gtest.h>

#include "driver/cmdline.h"
#include "harness.h"

namespace {

std::string bannerAndUsage() {
    testing::internal::CaptureStdout();
    printBanner();
    printUsage();
    return testing::internal::GetCapturedStdout();
}

const char* const UnknownType = "\nunbekannter Dateityp!!";

}  // namespace

TEST(Driver, TooFewArgumentsPrintUsageAndEndWithMinusOne) {
    kt::Sandbox box;
    std::string expected = bannerAndUsage() + "Parameterfehler";
    EXPECT_NE(expected.find("Kelvora_<DBSys>.exe  <Quelldatei>  <Dateityp>  [/D] \n"), std::string::npos);
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"in.txt"}}) {
        kt::RunResult run = box.run(args);
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.status, 255);
    }
}

TEST(Driver, WrongPasswordEndsWithTheServerErrorAndLeavesTheSource) {
    kt::Sandbox box;
    box.writeSettings(kt::TestLogin, "not-the-password", "MYSQL", "localhost");
    box.writeFile("in.txt", "data\n");
    kt::RunResult run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, "Datenbankverbindung fehlgeschlagen, Fehler: 1045\n");
    EXPECT_EQ(run.status, 1045 & 0xFF);
    EXPECT_EQ(box.readFile("in.txt"), "data\n");
    EXPECT_FALSE(box.exists("in.wrk"));
}

// Without a settings file the login is empty, which is refused as the
// server refuses a wrong login: the client library would otherwise log in
// with the name of the process's user.
TEST(Driver, MissingSettingsFileFailsTheConnection) {
    kt::Sandbox box;
    kt::shell("rm -f '" + box.root() + "/Files/Corvantis.Ini'");
    box.writeFile("in.txt", "data\n");
    kt::RunResult run = box.run({"in.txt", "20P"});
    EXPECT_EQ(run.out, "Datenbankverbindung fehlgeschlagen, Fehler: 1045\n");
    EXPECT_EQ(run.status, 1045 & 0xFF);
    EXPECT_TRUE(box.exists("in.txt"));
}

// A retried run whose source is gone leaves the older work file, the only
// copy of the data, as it is; run on the work file itself, the program
// imports it where it stands and the file keeps its name and bytes.
TEST(Driver, ARetryKeepsTheWorkFileAndTheWorkFileImportsInPlace) {
    kt::resetSchema();
    kt::Sandbox box;
    const std::string record = kt::field("RETRY", 255) + "01A000010001XXXX\n";
    box.writeFile("in.wrk", record);
    kt::RunResult retried = box.run({"in.txt", "20P"});
    EXPECT_EQ(retried.status, 99);
    EXPECT_EQ(box.readFile("in.wrk"), record);

    kt::RunResult inPlace = box.run({"in.wrk", "20P"});
    EXPECT_EQ(inPlace.out, "\n1 Datensaetze in MGSST20P eingefuegt\n");
    EXPECT_EQ(inPlace.status, 0);
    EXPECT_EQ(box.readFile("in.wrk"), record);
    EXPECT_EQ(kt::countRows("MGSST20P"), 1);

    // A source that is a link to its own work file is that file: moving the
    // link over it would lose the data.
    ASSERT_EQ(kt::shell("cd '" + box.workDir() + "' && ln -s in.wrk in.txt"), 0);
    kt::RunResult linked = box.run({"in.txt", "20P"});
    EXPECT_EQ(linked.out, inPlace.out);
    EXPECT_EQ(box.readFile("in.wrk"), record);
    EXPECT_EQ(kt::shell("test -f '" + box.path("in.wrk") + "' && ! test -L '" + box.path("in.wrk") + "'"), 0);
}

TEST(Driver, MissingSourceIsReportedOnlyInDebugMode) {
    kt::Sandbox box;
    kt::RunResult quiet = box.run({"absent.txt", "20P"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, 99);
    kt::RunResult debug = box.run({"absent.txt", "20P", "/D"});
    EXPECT_EQ(debug.out, "Quelldatei auf Server nicht gefunden\n");
    EXPECT_EQ(debug.status, 99);
}

TEST(Driver, UnknownTypeCodeMovesTheFileButDoesNotReadAsSuccess) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("in.txt", "data\n");
    kt::RunResult run = box.run({"in.txt", "20"});
    EXPECT_EQ(run.out, UnknownType);
    EXPECT_EQ(run.status, 255);
    EXPECT_FALSE(box.exists("in.txt"));
    EXPECT_EQ(box.readFile("in.wrk"), "data\n");

    box.writeFile("in.txt", "next\n");
    kt::RunResult debug = box.run({"in.txt", "xyz", "/D"});
    EXPECT_EQ(debug.out, std::string(UnknownType) + "\n");
    EXPECT_EQ(box.readFile("in.wrk"), "next\n");   // the older work file is replaced
}

TEST(Driver, WorkPathIgnoresDotsInDirectoryNames) {
    kt::resetSchema();
    kt::Sandbox box;
    kt::shell("mkdir -p '" + box.path("in.dir") + "'");
    box.writeFile("in.wrk", "unrelated\n");
    box.writeFile("in.dir/data", "");
    kt::RunResult run = box.run({"in.dir/data", "20P"});
    EXPECT_EQ(run.out, "\n0 Datensaetze in MGSST20P eingefuegt\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(box.exists("in.dir/data.wrk"));
    EXPECT_EQ(box.readFile("in.wrk"), "unrelated\n");
}

TEST(Driver, ASourceThatIsADirectoryIsNotTouched) {
    kt::Sandbox box;
    kt::shell("mkdir -p '" + box.path("batch.d") + "'");
    box.writeFile("batch.d/inner", "x");
    kt::RunResult run = box.run({"batch.d", "20P", "/D"});
    EXPECT_EQ(run.out, "Quelldatei auf Server nicht gefunden\n");
    EXPECT_EQ(run.status, 99);
    EXPECT_EQ(box.readFile("batch.d/inner"), "x");
    EXPECT_FALSE(box.exists("batch.wrk"));
}

TEST(Driver, TypeCodeIsItsFirstThreeCharactersUpperCased) {
    kt::resetSchema();
    kt::Sandbox box;
    box.writeFile("in.txt", "");
    kt::RunResult run = box.run({"in.txt", "20pxyz", "/d"});
    EXPECT_EQ(run.out, "\n0 Datensaetze in MGSST20P eingefuegt\n\n");
    EXPECT_EQ(run.status, 0);
}
