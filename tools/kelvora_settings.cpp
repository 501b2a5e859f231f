// kelvora-settings: writes what the program's settings reader expects.
//   kelvora-settings encrypt VALUE
//       prints the hex text of VALUE encrypted with the program's key
//   kelvora-settings write --login U --pass P --db-system S --host H
//       prints a complete settings file with the four connection values
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "settings/cipher.h"
#include "settings_encrypt.h"

namespace {

constexpr int UsageError = 2;
constexpr size_t MaxDbSystem = 40;
constexpr size_t MaxHost = 41;
constexpr char SectionLine[] = "Kelvora;Datenbank;\n";

const char* const UsageText =
    "usage: kelvora-settings encrypt VALUE\n"
    "       kelvora-settings write --login USER --pass PASSWORD --db-system NAME --host HOST\n";

// One connection value of the settings file: its option, key, number in the
// file and the longest value the program takes whole.
struct SettingOption {
    const char* option;
    const char* key;
    int number;
    size_t maxLength;
    const char* value;
};

// Prints message and the usage text to standard error; the usage status.
int usageError(const char* message) {
    fprintf(stderr, "kelvora-settings: %s\n%s", message, UsageText);
    return UsageError;
}

// Writes text to standard output as bytes; 0, or 1 when the write failed.
int printBytes(std::string_view text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) return 1;
    return 0;
}

// "encrypt VALUE".
int runEncrypt(int argc, char** argv) {
    if (argc != 3) return usageError("encrypt takes exactly one value");
    if (strlen(argv[2]) > MaxSettingsPlaintext) return usageError("value longer than 96 characters");
    return printBytes(encryptToHex(argv[2], SettingsCipherKey) + "\n");
}

// Assigns the value following an option; false for an unknown or repeated
// option.
bool takeOption(SettingOption* options, int count, const char* name, const char* value) {
    for (int i = 0; i < count; ++i) {
        if (strcmp(options[i].option, name) != 0) continue;
        if (options[i].value != nullptr) return false;
        options[i].value = value;
        return true;
    }
    return false;
}

// One line pair per value: a section line, then "number;key;hex".
std::string settingsFileText(const SettingOption* options, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += SectionLine;
        text += std::to_string(options[i].number) + ";" + options[i].key + ";";
        text += encryptToHex(options[i].value, SettingsCipherKey) + "\n";
    }
    return text;
}

// "write --login U --pass P --db-system S --host H", options in any order,
// each exactly once.
int runWrite(int argc, char** argv) {
    SettingOption options[] = {
        {"--login", "LOGIN", 1, MaxSettingsPlaintext, nullptr},
        {"--pass", "PASS", 2, MaxSettingsPlaintext, nullptr},
        {"--db-system", "DB_SYSTEM", 3, MaxDbSystem, nullptr},
        {"--host", "NET8", 4, MaxHost, nullptr},
    };
    constexpr int count = sizeof options / sizeof options[0];
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return usageError("option without a value");
        if (!takeOption(options, count, argv[i], argv[i + 1])) return usageError("unknown or repeated option");
    }
    for (const SettingOption& option : options) {
        if (option.value == nullptr) return usageError("all four options are required");
        if (strlen(option.value) > option.maxLength) {
            std::string message = std::string(option.option) + " value longer than " +
                                  std::to_string(option.maxLength) + " characters";
            return usageError(message.c_str());
        }
    }
    return printBytes(settingsFileText(options, count));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("missing command");
    if (strcmp(argv[1], "encrypt") == 0) return runEncrypt(argc, argv);
    if (strcmp(argv[1], "write") == 0) return runWrite(argc, argv);
    return usageError("unknown command");
}
