#include "watch/sitecheck.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "watch/checks.h"
#include "watch/child.h"
#include "watch/config.h"
#include "watch/importer.h"
#include "watch/names.h"
#include "watch/options.h"

namespace {

constexpr int ExitRefused = 1;
constexpr int ExitUsage = 2;
constexpr const char* CommandWord = "check";
constexpr const char* CheckProgramName = "kelvora-check";
constexpr const char* ConvertedTemplate = "/kelvora-watch-check.XXXXXX";

void printUsage(FILE* out) {
    fprintf(out,
            "usage: kelvora-watch [--config FILE] check FILE\n"
            "  the watcher's checks of FILE under the section its name matches, then kelvora-check with that\n"
            "  section's settings in the importer's working directory: what the import would do, rolled back\n"
            "See kelvora-watch(1), CHECKING A FILE FIRST.\n");
}

// The file named; false when the program is to end at once with status.
bool parseArguments(int argc, char** argv, const char*& file, int& status) {
    const int at = commandAt(argc, argv, CommandWord) + 1;
    if (at < argc && strcmp(argv[at], "--help") == 0) {
        printUsage(stdout);
        status = 0;
        return false;
    }
    if (at + 1 != argc || argv[at][0] == '-') {
        printUsage(stderr);
        status = ExitUsage;
        return false;
    }
    file = argv[at];
    return true;
}

// A private folder for the conversion of a UTF-8 file, removed with what
// it holds when the command ends.
struct ConvertedCopy {
    std::string folder;
    std::string path;
    ~ConvertedCopy() {
        if (!path.empty()) unlink(path.c_str());
        if (!folder.empty()) rmdir(folder.c_str());
    }
};

// The watcher's checks, on the file as it is (a UTF-8 section's file is
// converted into copy first, and that is what kelvora-check reads); false,
// with the reason named, when the watcher would not import it.
bool passesChecks(const std::string& path, const FileRule& rule, ConvertedCopy& copy, std::string& imported) {
    std::string reason;
    imported = path;
    if (rule.utf8) {
        const char* tmp = getenv("TMPDIR");
        std::string folder = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + ConvertedTemplate;
        if (mkdtemp(&folder[0]) == nullptr) {
            diagnoseAt(Severity::Error, "cannot make a folder for the converted file in %s: %s", folder.c_str(), strerror(errno));
            return false;
        }
        copy.folder = folder;
        copy.path = folder + "/converted.txt";
        imported = copy.path;
    }
    const bool passed = rule.utf8 ? checkAndConvert(path, rule, copy.path, reason) : checkFile(path, rule, reason);
    if (!passed) diagnoseAt(Severity::Warning, "%s: the watcher would not import it: %s", shownName(path).c_str(), reason.c_str());
    return passed;
}

// Runs kelvora-check on the file in the importer's working directory with
// the section's environment, and waits for it; its exit status.
int runCheckProgram(const WatchConfig& config, const FileRule& rule, const std::string& imported) {
    const std::string program = config.program.substr(0, config.program.rfind('/') + 1) + CheckProgramName;
    const std::vector<std::string> environment = sectionEnvironment(rule, DeleteGuard::AsSectionSays);
    ChildRequest child;
    child.arguments = {program, imported, rule.typeCode};
    if (rule.update) child.arguments.emplace_back("UPD");
    child.environment = &environment;
    child.workdir = config.workdir;
    fflush(stdout);
    pid_t pid = -1;
    if (!startChild(child, pid)) {
        diagnoseAt(Severity::Error, "cannot run %s: %s", program.c_str(), strerror(errno));
        return ExitUsage;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool isSiteCheckCommand(int argc, char** argv) {
    return commandAt(argc, argv, CommandWord) > 0;
}

int runSiteCheck(int argc, char** argv) {
    const char* file = nullptr;
    int status = 0;
    if (!parseArguments(argc, argv, file, status)) return status;
    WatchConfig config;
    if (!readConfig(configOf(argc, argv), config)) return ExitUsage;
    char resolved[PATH_MAX];
    if (realpath(file, resolved) == nullptr) {
        diagnoseAt(Severity::Error, "%s: %s", shownName(file).c_str(), strerror(errno));
        return ExitUsage;
    }
    const std::string path = resolved;
    const std::string name = path.substr(path.rfind('/') + 1);
    const FileRule* rule = ruleFor(config, name.c_str());
    if (rule == nullptr) {
        diagnoseAt(Severity::Error, "%s: no [file] section of %s matches its name: the watcher would leave it in the drop folder",
                 shownName(name).c_str(), config.path.c_str());
        return ExitUsage;
    }
    diagnose("%s is a %s file of the section [file %s]%s", shownName(name).c_str(), rule->typeCode.c_str(),
             rule->pattern.c_str(), rule->update ? " (UPD)" : "");
    ConvertedCopy copy;
    std::string imported;
    if (!passesChecks(path, *rule, copy, imported)) return ExitRefused;
    return runCheckProgram(config, *rule, imported);
}
