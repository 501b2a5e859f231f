// kelvora-check: the exact effect of a run, then a rollback.
//   kelvora-check FILE TYPE [UPD]
// Connects as Kelvora_MYSQL does and runs the same import of FILE, read
// where it stands, in the run's one transaction; then rolls back instead of
// committing. Standard output is what the run would print; standard error
// has the run's messages and the plan, one line per table; the exit status
// is the run's.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check/plan.h"
#include "common/diag.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "driver/exitstatus.h"
#include "driver/run.h"

namespace {

constexpr int UsageError = 2;
constexpr int FileArgument = 1;
constexpr int OptionArgument = 3;
constexpr const char* UpdateOption = "UPD";

const char* const UsageText =
    "usage: kelvora-check FILE TYPE [UPD]\n"
    "runs the import of FILE as Kelvora_MYSQL FILE TYPE [UPD] would, in one\n"
    "transaction, and rolls it back: FILE stays where it is, the tables as they\n"
    "were. Standard output and exit status are the run's; standard error shows\n"
    "the plan: per table the rows before and after, and how many the run\n"
    "inserted, changed and deleted.\n";

int usageError(const char* message) {
    fprintf(stderr, "kelvora-check: %s\n%s", message, UsageText);
    return UsageError;
}

bool isHelp(const char* argument) {
    return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0;
}

// FILE and TYPE, and UPD as the only option; sets UpdateMode. 0 or the
// usage status.
int parseArguments(int argc, char** argv) {
    if (argc < 3) return usageError("FILE and TYPE are required");
    if (argc > 4) return usageError("too many arguments");
    if (argv[FileArgument][0] == '\0') return usageError("FILE is empty");
    if (argc == 4) {
        if (strcmp(toUpperInPlace(argv[OptionArgument]), UpdateOption) != 0) {
            return usageError("the third argument may only be UPD");
        }
        UpdateMode = 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setDiagnosticProgram("kelvora-check");
    if (argc == 2 && isHelp(argv[1])) {
        fputs(UsageText, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    int status = parseArguments(argc, argv);
    if (status != 0) return status;
    RunKind check;
    check.check = true;
    check.beforeImport = planBeforeImport;
    check.afterImport = planAfterImport;
    std::exit(exitStatusFor(runImport(argc, argv, check)));
}
