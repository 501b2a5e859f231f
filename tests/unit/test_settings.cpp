#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "../../tools/settings_encrypt.h"
#include "settings/settings.h"

namespace {

// A fresh temporary directory per test for the settings files.
class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelvora-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/Corvantis.Ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string& bytes) {
        std::ofstream out(path_, std::ios::binary);
        out << bytes;
    }
    std::string lookup(const char* section, const char* key, int32_t number) {
        readSetting(section, key, number, path_);
        return SettingValue;
    }

    std::string dir_;
    std::string path_;
};

// One line pair as the settings tool writes it.
std::string pair(const std::string& section, const std::string& number, const std::string& key,
                 const std::string& plain) {
    return "Kelvora;" + section + ";\r\n" + number + ";" + key + ";" +
           encryptToHex(plain, SettingsCipherKey) + "\r\n";
}

TEST_F(SettingsFile, FirstMatchingPairWinsAndKeysAreCaseSensitive) {
    write(pair("Datenbank", "1", "pass", "lower") + pair("Datenbank", "2", "PASS", "first") +
          pair("Datenbank", "3", "PASS", "second"));
    EXPECT_EQ(lookup("", "PASS", 0), "first");
    EXPECT_EQ(lookup("", "pass", 0), "lower");
    EXPECT_EQ(lookup("", "Pass", 0), "");
    EXPECT_EQ(lookup("", "", 3), "second");
    EXPECT_EQ(lookup("Datenbank", "NONE", 99), "lower");
}

TEST_F(SettingsFile, EmptySectionOrZeroNumberAnswersEveryLookup) {
    write("no separators here\n1;PASS;" + encryptToHex("sectionless", SettingsCipherKey) + "\n" +
          pair("Datenbank", "2", "LOGIN", "login"));
    EXPECT_EQ(lookup("", "LOGIN", 0), "sectionless");
    EXPECT_EQ(lookup("Datenbank", "LOGIN", 7), "login");

    write(pair("Datenbank", "0", "PASS", "zero") + pair("Datenbank", "2", "LOGIN", "login"));
    EXPECT_EQ(lookup("", "LOGIN", 0), "zero");
    write(pair("Datenbank", " x1", "PASS", "nodigits") + pair("Datenbank", "2", "LOGIN", "login"));
    EXPECT_EQ(lookup("", "LOGIN", 0), "nodigits");
    EXPECT_EQ(lookup("", "LOGIN", 5), "login");
    write(pair("Datenbank", "  -12abc", "PASS", "negative") + pair("Datenbank", "2", "LOGIN", "login"));
    EXPECT_EQ(lookup("", "NONE", -12), "negative");
}

TEST_F(SettingsFile, MissingFileOrKeyGivesEmptyValue) {
    write(pair("Datenbank", "1", "LOGIN", "login"));
    EXPECT_EQ(lookup("", "LOGIN", 0), "login");
    EXPECT_EQ(lookup("", "PASS", 7), "");
    std::filesystem::remove(path_);
    EXPECT_EQ(lookup("", "LOGIN", 0), "");
}

TEST_F(SettingsFile, LoneLastLineIsNeverLookedAt) {
    std::string pass = "2;PASS;" + encryptToHex("pass", SettingsCipherKey) + "\n";
    write(pair("Datenbank", "1", "LOGIN", "login") + pass);
    EXPECT_EQ(lookup("none", "PASS", 2), "");
    write(pair("Datenbank", "1", "LOGIN", "login") + "Kelvora;Datenbank;\n" + pass);
    EXPECT_EQ(lookup("none", "PASS", 2), "pass");
}

// A first line of 199 characters does not fit its read: its line feed is
// read as the pair's second line and every later pair moves by one line.
TEST_F(SettingsFile, OverlongFirstLineShiftsThePairs) {
    auto fileWithFirstLine = [&](size_t length) {
        std::string first = "Kelvora;Datenbank;";
        first += std::string(length - first.size(), '#');
        return first + "\n1;LOGIN;" + encryptToHex("login", SettingsCipherKey) + "\n" +
               pair("Datenbank", "2", "PASS", "pass");
    };
    write(fileWithFirstLine(198));
    EXPECT_EQ(lookup("none", "PASS", 77), "pass");
    write(fileWithFirstLine(199));
    EXPECT_EQ(lookup("none", "PASS", 77), "");
    EXPECT_EQ(lookup("none", "LOGIN", 77), "");
}

TEST_F(SettingsFile, IncompleteLinesAreReadSafely) {
    std::string pass = encryptToHex("pass", SettingsCipherKey);
    // A second line without separators has number 0 and no key or value.
    write("Kelvora;Datenbank;\nnothing\n" + pair("Datenbank", "2", "PASS", "pass"));
    EXPECT_EQ(lookup("", "PASS", 0), "");
    EXPECT_EQ(lookup("none", "PASS", 77), "pass");
    // One separator: the key runs to the line end, the value is empty.
    write("Kelvora;Datenbank;\n5;PASS\n" + pair("Datenbank", "2", "PASS", "pass"));
    EXPECT_EQ(lookup("none", "PASS", 77), "");
    // Empty fields, then a last line without a line feed.
    write("Kelvora;;\n;;\n;Datenbank;\n2;PASS;" + pass);
    EXPECT_EQ(lookup("none", "PASS", 77), "pass");
    EXPECT_EQ(lookup("", "NONE", 77), "");
    // Empty lines and an empty file.
    write("\n\n\n\n");
    EXPECT_EQ(lookup("", "PASS", 0), "");
    write("");
    EXPECT_EQ(lookup("", "PASS", 0), "");
}

// A value longer than its room of 200 characters is cut to 200: twelve
// whole blocks and half a block.
TEST_F(SettingsFile, OverlongValueIsCutToItsRoom) {
    std::string plain(MaxSettingsPlaintext, 'v');
    std::string hex = encryptToHex(plain, SettingsCipherKey) + std::string(150, 'F');
    write("Kelvora;Datenbank;\n2;PASS;" + hex + "\n");
    std::string value = lookup("none", "PASS", 77);
    EXPECT_EQ(value.substr(0, plain.size()), plain);
    EXPECT_LE(value.size(), plain.size() + BlowfishBlockBytes);
}

TEST(SettingsHost, TakenOnlyWithOneToFortyOneCharacters) {
    char host[HostNameRoom + 1];
    std::string longest(41, 'h');
    takeHostName(longest.c_str(), host, sizeof host);
    EXPECT_EQ(std::string(host), longest);
    takeHostName((longest + "h").c_str(), host, sizeof host);
    EXPECT_EQ(std::string(host), "");
    memset(host, 'x', sizeof host);
    takeHostName("", host, sizeof host);
    EXPECT_EQ(std::string(host), "");
}

TEST_F(SettingsFile, ConnectionValuesFromTheFourKeys) {
    std::string host41(41, 'n');
    std::string system50 = "MYSQL" + std::string(45, 's');
    write(pair("Datenbank", "4", "NET8", host41) + pair("Datenbank", "3", "DB_SYSTEM", system50) +
          pair("Datenbank", "2", "PASS", "geheim") + pair("Datenbank", "1", "LOGIN", "kelvora"));
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, path_, report);
    EXPECT_STREQ(values.user, "kelvora");
    EXPECT_STREQ(values.password, "geheim");
    EXPECT_EQ(std::string(values.dbSystem), system50.substr(0, 40));
    EXPECT_EQ(std::string(values.host), host41);

    write(pair("Datenbank", "4", "NET8", host41 + "n") + pair("Datenbank", "1", "LOGIN", "kelvora"));
    readConnectionValues(values, path_, report);
    EXPECT_STREQ(values.host, "");
    EXPECT_STREQ(values.password, "");
    EXPECT_STREQ(values.dbSystem, "");
}

}  // namespace
