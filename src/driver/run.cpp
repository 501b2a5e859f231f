#include "driver/run.h"

#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "db/connection.h"
#include "common/runstate.h"
#include "common/strutil.h"
#include "import/dispatch.h"
#include "common/textfile.h"
#include "settings/settings.h"

namespace {

constexpr int SourceArgument = 1;
constexpr int TypeCodeArgument = 2;
constexpr size_t TypeCodeLength = 3;
constexpr const char* WorkExtension = ".wrk";
constexpr const char* WindowVariable = "KELVORA_WINDOW";

// An existing source that is not a plain file (a directory, a device) is
// never moved aside: the run ends as if the source were missing.
bool isMovableSource(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;
    return S_ISREG(info.st_mode);
}

// Moves the source to the work path. rename replaces an older work file in
// one step, and only once the source is known to exist: a retried run whose
// source is gone leaves the older work file, the only copy of the data, as
// it is. A source that already carries its work name stays where it is.
bool moveToWorkFile(const std::string& source, const std::string& work) {
    if (!isMovableSource(source)) return false;
    return rename(source.c_str(), work.c_str()) == 0;
}

// The first three characters of the upper-cased type code argument.
void takeTypeCode(char* argument, char* typeCode) {
    toUpperInPlace(argument);
    snprintf(typeCode, TypeCodeLength + 1, "%s", argument);
}

// KELVORA_WINDOW: the records per statement window, for diagnosis and the
// tests; 1 sends one statement per query. Anything but a whole number from
// 1 up leaves the default, with a word on standard error.
void takeWindowSetting() {
    const char* text = getenv(WindowVariable);
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > INT32_MAX) {
        fprintf(stderr, "Kelvora_MYSQL: %s=%s is not a number of records from 1 up; the default window is used\n",
                WindowVariable, text);
        return;
    }
    WindowRecords = static_cast<int>(value);
}

// The settings step of a run: connection values from the settings file,
// then the connection. The values are wiped right after the attempt.
int32_t connectFromSettings() {
    ConnectionValues values;
    readConnectionValues(values, SettingsFilePath);
    snprintf(DbSystemName, sizeof DbSystemName, "%s", values.dbSystem);
    // An empty user name is never sent: the client library would put the
    // login name of the process in its place.
    int32_t result = ErrorAccessDenied;
    if (values.user[0] != '\0') result = dbConnect(values.user, values.password, values.host, DatabaseName);
    wipeBytes(&values, sizeof values);
    if (result != 0) printf("Datenbankverbindung fehlgeschlagen, Fehler: %d\n", result);
    return result;
}

// Hands the open work file to the member that serves the type code.
LoopOutcome dispatchImport(const char* typeCode, TextFile& workFile) {
    ImportHandler handler = findImportHandler(typeCode);
    if (handler == nullptr) {
        fputs("\nunbekannter Dateityp!!", stdout);
        return {UnknownTypeCode, LoopEnding::Completed};
    }
    return handler(workFile);
}

}  // namespace

std::string buildWorkPath(std::string_view sourcePath) {
    size_t lastSeparator = sourcePath.find_last_of("/\\");
    size_t nameStart = lastSeparator == std::string_view::npos ? 0 : lastSeparator + 1;
    size_t dot = sourcePath.rfind('.');
    std::string work(sourcePath);
    if (dot != std::string_view::npos && dot >= nameStart) work.resize(dot);
    work += WorkExtension;
    return work;
}

void buildServerDate(const char* dateTime, char* target, size_t targetSize) {
    constexpr size_t DateTimeLength = 19;
    target[0] = '\0';
    if (strlen(dateTime) < DateTimeLength - 9) return;
    snprintf(target, targetSize, "%.4s%.2s%.2s", dateTime + 6, dateTime + 3, dateTime);
}

int32_t runImport(int argc, char** argv) {
    (void)argc;
    takeWindowSetting();
    LastResultCode = connectFromSettings();
    if (LastResultCode != 0) return LastResultCode;

    char dateTime[ServerDateTimeSize] = {0};
    LastResultCode = queryServerDate(dateTime);
    buildServerDate(dateTime, ServerDate, sizeof ServerDate);

    std::string sourcePath = argv[SourceArgument];
    std::string workPath = buildWorkPath(sourcePath);
    if (!moveToWorkFile(sourcePath, workPath)) {
        if (DebugFlag) fputs("Quelldatei auf Server nicht gefunden\n", stdout);
        return FileFailure;
    }
    LastResultCode = 0;

    char typeCode[TypeCodeLength + 1];
    takeTypeCode(argv[TypeCodeArgument], typeCode);

    static TextFile workFile;
    if (!openTextFile(workFile, workPath.c_str())) {
        fputs("\xD6" "ffnen der Datei fehlgeschlagen\n", stdout);
        return FileFailure;
    }
    LoopOutcome outcome = dispatchImport(typeCode, workFile);
    closeTextFile(workFile);
    LastResultCode = finishImport(outcome);
    return LastResultCode;
}

int32_t finishImport(const LoopOutcome& outcome) {
    switch (outcome.ending) {
    case LoopEnding::Completed: {
        int32_t committed = commitWork();
        if (committed != 0) {
            printTransactionAborted(committed);
            return committed;
        }
        break;
    }
    case LoopEnding::NoValidLine:
        break;
    case LoopEnding::TransactionAborted:
    case LoopEnding::ReadFailed:
    case LoopEnding::StatementTooLong:
        return outcome.code;
    }
    if (DebugFlag) fputs("\n", stdout);
    return outcome.code;
}
