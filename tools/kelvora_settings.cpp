// kelvora-settings: writes and checks what the program's settings reader
// expects.
//   kelvora-settings encrypt VALUE
//       prints the hex text of VALUE encrypted with the program's key
//   kelvora-settings write --login U --pass P --db-system S --host H
//                          [--output FILE [--force]]
//       prints a complete settings file with the four connection values, or
//       writes it to FILE with mode 0600
//   kelvora-settings check [FILE]
//       shows the values of a settings file (never the password) and tries
//       the connection the program would open with them
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/paths.h"
#include "db/connection.h"
#include "settings/cipher.h"
#include "settings/settings.h"
#include "settings_encrypt.h"

#ifndef KELVORA_VERSION
#error "KELVORA_VERSION must give the project's version"
#endif

namespace {

constexpr int Failure = 1;
constexpr int UsageError = 2;
constexpr size_t MaxDbSystem = 40;
constexpr size_t MaxHost = 41;
constexpr mode_t SettingsFileMode = 0600;
constexpr char SectionLine[] = "Kelvora;Datenbank;\n";

const char* const UsageText =
    "usage: kelvora-settings encrypt VALUE\n"
    "       kelvora-settings write --login USER --pass PASSWORD --db-system NAME --host HOST\n"
    "                              [--output FILE [--force]]\n"
    "       kelvora-settings check [FILE]\n"
    "       kelvora-settings --help | --version\n";

const char* const CommandsText =
    "\n"
    "encrypt  print VALUE encrypted, as hex text, for editing a settings file by hand\n"
    "write    print a settings file with the four connection values; with --output\n"
    "         create FILE with mode 0600 instead (--force replaces an existing FILE)\n"
    "check    show LOGIN, DB_SYSTEM and NET8 of FILE (default ..\\..\\Files\\Corvantis.Ini,\n"
    "         as the importer finds it from the working directory) and try the connection\n";

// One connection value of the settings file: its option, key, number in the
// file and the longest value the program takes whole.
struct SettingOption {
    const char* option;
    const char* key;
    int number;
    size_t maxLength;
    const char* value;
};

constexpr int OptionCount = 4;

// What "write" was asked for: the four values and where they go.
struct WriteRequest {
    SettingOption options[OptionCount] = {
        {"--login", "LOGIN", 1, MaxSettingsPlaintext, nullptr},
        {"--pass", "PASS", 2, MaxSettingsPlaintext, nullptr},
        {"--db-system", "DB_SYSTEM", 3, MaxDbSystem, nullptr},
        {"--host", "NET8", 4, MaxHost, nullptr},
    };
    const char* output = nullptr;
    bool force = false;
};

// Prints message and the usage text to standard error; the usage status.
int usageError(const char* message) {
    fprintf(stderr, "kelvora-settings: %s\n%s", message, UsageText);
    return UsageError;
}

// Prints a failure with the system's reason to standard error; the failure
// status.
int systemFailure(const char* what, const char* path) {
    fprintf(stderr, "kelvora-settings: %s %s: %s\n", what, path, strerror(errno));
    return Failure;
}

// Writes text to standard output as bytes; 0, or 1 when the write failed.
int printBytes(std::string_view text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) return Failure;
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
bool takeOption(WriteRequest& request, const char* name, const char* value) {
    if (strcmp(name, "--output") == 0) {
        if (request.output != nullptr) return false;
        request.output = value;
        return true;
    }
    for (SettingOption& option : request.options) {
        if (strcmp(option.option, name) != 0) continue;
        if (option.value != nullptr) return false;
        option.value = value;
        return true;
    }
    return false;
}

// Fills request from the options of "write", in any order, each at most
// once; 0 or the usage status.
int parseWriteOptions(int argc, char** argv, WriteRequest& request) {
    for (int i = 2; i < argc;) {
        if (strcmp(argv[i], "--force") == 0) {
            if (request.force) return usageError("--force given twice");
            request.force = true;
            i += 1;
            continue;
        }
        if (i + 1 >= argc) return usageError("option without a value");
        if (!takeOption(request, argv[i], argv[i + 1])) return usageError("unknown or repeated option");
        i += 2;
    }
    if (request.force && request.output == nullptr) return usageError("--force needs --output");
    for (const SettingOption& option : request.options) {
        if (option.value == nullptr) {
            return usageError("all four values --login, --pass, --db-system, --host are required");
        }
        if (strlen(option.value) > option.maxLength) {
            std::string message = std::string(option.option) + " value longer than " +
                                  std::to_string(option.maxLength) + " characters";
            return usageError(message.c_str());
        }
    }
    return 0;
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

// Writes all of text to fd; false when a write failed (errno tells why).
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Writes text to fd, puts it on the disk and closes fd; false when any step
// failed, with errno of the first failure.
bool writeAndClose(int fd, const std::string& text) {
    if (!writeAll(fd, text) || fsync(fd) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    return close(fd) == 0;
}

// Creates path with mode 0600 and writes text into it. The file is created
// with that mode, so the password's ciphertext is never readable by others;
// an existing file is left alone.
int writeNewFile(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, SettingsFileMode);
    if (fd < 0 && errno == EEXIST) {
        fprintf(stderr, "kelvora-settings: %s exists; --force replaces it\n", path);
        return Failure;
    }
    if (fd < 0) return systemFailure("cannot create", path);
    if (!writeAndClose(fd, text)) {
        int status = systemFailure("cannot write", path);
        unlink(path);
        return status;
    }
    return 0;
}

// Replaces path by a new file of mode 0600: the text goes into a temporary
// file beside it, which is then renamed over path, so the old file stays
// whole until the new one is complete and no reader ever sees a wider mode.
int replaceFile(const char* path, const std::string& text) {
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return systemFailure("cannot create a temporary file beside", path);
    if (fchmod(fd, SettingsFileMode) != 0 || !writeAndClose(fd, text)) {
        int status = systemFailure("cannot write", temporary.c_str());
        unlink(temporary.c_str());
        return status;
    }
    if (rename(temporary.c_str(), path) != 0) {
        int status = systemFailure("cannot replace", path);
        unlink(temporary.c_str());
        return status;
    }
    return 0;
}

// "write ...": the settings file on standard output, or into --output.
int runWrite(int argc, char** argv) {
    WriteRequest request;
    int status = parseWriteOptions(argc, argv, request);
    if (status != 0) return status;
    std::string text = settingsFileText(request.options, OptionCount);
    if (request.output == nullptr) return printBytes(text);
    if (request.force) return replaceFile(request.output, text);
    return writeNewFile(request.output, text);
}

// The settings reader takes an unreadable file for an empty one; check says
// which it is, with the working directory the relative path starts from.
bool settingsFileReadable(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file != nullptr) {
        fclose(file);
        return true;
    }
    int saved = errno;
    char directory[4096];
    const char* workingDirectory = getcwd(directory, sizeof directory) != nullptr ? directory : "?";
    fprintf(stderr, "kelvora-settings: cannot read %s: %s (working directory %s)\n", path.c_str(),
            strerror(saved), workingDirectory);
    return false;
}

// A "NET8" value the program drops (longer than it takes) connects through
// the local socket; check says so instead of showing an empty host only.
void showHost(const ConnectionValues& values, std::string_view settingsPath) {
    if (values.host[0] != '\0') {
        printf("NET8:      %s\n", values.host);
        return;
    }
    readSetting("", "NET8", 0, settingsPath);
    if (SettingValue[0] != '\0') {
        printf("NET8:      ignored, longer than %d characters: the local socket is used\n", HostNameRoom);
    } else {
        printf("NET8:      empty: the local socket is used\n");
    }
    wipeBytes(SettingValue, sizeof SettingValue);
}

// Shows the decrypted values, the password only as set or empty.
void showValues(const ConnectionValues& values, std::string_view settingsPath) {
    printf("settings:  %s\n", nativePath(settingsPath).c_str());
    printf("LOGIN:     %s\n", values.user[0] != '\0' ? values.user : "(empty)");
    printf("PASS:      %s\n", values.password[0] != '\0' ? "set (not shown)" : "(empty)");
    printf("DB_SYSTEM: %s\n", values.dbSystem[0] != '\0' ? values.dbSystem : "(empty)");
    showHost(values, settingsPath);
}

// Opens the connection the program opens, with the same values and
// database; the result line names the server's error when it fails. An
// empty login is not tried: the program refuses it with 1045.
int tryConnection(ConnectionValues& values) {
    if (values.user[0] == '\0') {
        printf("connection: not tried, the login is empty (the program refuses it with error %d)\n",
               ErrorAccessDenied);
        return Failure;
    }
    int32_t result = dbConnect(values.user, values.password, values.host, DatabaseName);
    if (result != 0) {
        printf("connection: failed, error %d: %s\n", result, lastErrorText());
        return Failure;
    }
    printf("connection: ok, database %s\n", DatabaseName);
    return 0;
}

// "check [FILE]".
int runCheck(int argc, char** argv) {
    if (argc > 3) return usageError("check takes at most one file");
    std::string settingsPath = argc == 3 ? argv[2] : SettingsFilePath;
    if (!settingsFileReadable(nativePath(settingsPath))) return Failure;
    ConnectionValues values;
    SettingsReport report;
    readConnectionValues(values, settingsPath, report);
    showValues(values, settingsPath);
    fflush(stdout);
    int status = tryConnection(values);
    wipeBytes(&values, sizeof values);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("missing command");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        return printBytes(std::string(UsageText) + CommandsText);
    }
    if (strcmp(argv[1], "--version") == 0) return printBytes("kelvora-settings " KELVORA_VERSION "\n");
    if (strcmp(argv[1], "encrypt") == 0) return runEncrypt(argc, argv);
    if (strcmp(argv[1], "write") == 0) return runWrite(argc, argv);
    if (strcmp(argv[1], "check") == 0) return runCheck(argc, argv);
    return usageError("unknown command");
}
