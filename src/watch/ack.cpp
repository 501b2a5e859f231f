#include "watch/ack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "watch/clocks.h"
#include "watch/durable.h"
#include "watch/failedrun.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/options.h"
#include "watch/runfolder.h"

namespace {

constexpr int ExitRefused = 1;
constexpr int ExitUsage = 2;
constexpr const char* CommandWord = "ack";
constexpr const char* RefusedWords = "not marked as seen";

void printUsage(FILE* out) {
    fprintf(out,
            "usage: kelvora-watch [--config FILE] ack RUNFOLDER...\n"
            "  marks each run folder of the failed folder as seen: status and the metrics no longer count it\n"
            "  as needing a person\n"
            "See kelvora-watch(1), STATUS.\n");
}

// The run folders named; false when the program is to end at once with
// status (--help, or a command line that is not understood).
bool parseArguments(int argc, char** argv, std::vector<const char*>& runFolders, int& status) {
    for (int at = commandAt(argc, argv, CommandWord) + 1; at < argc; ++at) {
        if (strcmp(argv[at], "--help") == 0) {
            printUsage(stdout);
            status = 0;
            return false;
        }
        if (argv[at][0] == '-') {
            diagnoseAt(Severity::Error, "\"%s\" is not understood", shownName(argv[at]).c_str());
            printUsage(stderr);
            status = ExitUsage;
            return false;
        }
        runFolders.push_back(argv[at]);
    }
    if (!runFolders.empty()) return true;
    diagnoseAt(Severity::Error, "%s needs at least one run folder of the failed folder", CommandWord);
    printUsage(stderr);
    status = ExitUsage;
    return false;
}

// Who says it was seen: the login of the real user, or its number.
std::string whoSaysSo() {
    const struct passwd* user = getpwuid(getuid());
    return user != nullptr ? user->pw_name : "uid " + std::to_string(getuid());
}

// One run folder: it must lie in the failed folder and say it was filed
// there; its "acknowledged" file gets a line, written whole and flushed.
bool ackRun(const FailedSite& site, const char* path) {
    const std::string given = shownName(path);
    UniqueFd run = openRunFolder(site, path, RefusedWords);
    if (!run.valid()) return false;
    if (!lockRun(run.get())) return refuseRun(given, RefusedWords, "another process works on it");
    RunRecord record;
    if (!readFailedRecord(run.get(), given, RefusedWords, record)) return false;
    const std::string line = utcStamp(wallClockNow()) + " " + whoSaysSo() + "\n";
    if (!writeFileDurably(run.get(), AcknowledgedName, line)) {
        return refuseRun(given, RefusedWords, std::string("its file ") + AcknowledgedName +
                                                  " cannot be written: " + strerror(errno));
    }
    printf("%s: marked as seen\n", given.c_str());
    return true;
}

}  // namespace

bool isAckCommand(int argc, char** argv) {
    return commandAt(argc, argv, CommandWord) > 0;
}

int runAck(int argc, char** argv) {
    std::vector<const char*> runFolders;
    int status = 0;
    if (!parseArguments(argc, argv, runFolders, status)) return status;
    FailedSite site;
    if (!openFailedSite(configOf(argc, argv), site)) return ExitUsage;
    bool all = true;
    for (const char* runFolder : runFolders) all = ackRun(site, runFolder) && all;
    fflush(stdout);
    return all ? 0 : ExitRefused;
}
