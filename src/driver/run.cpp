#include "driver/run.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

// An existing source that is not a plain file (a directory, a device) is
// never moved aside: the run ends as if the source were missing.
bool isMovableSource(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;
    return S_ISREG(info.st_mode);
}

// Deletes an older work file and moves the source to the work path.
bool moveToWorkFile(const std::string& source, const std::string& work) {
    if (!isMovableSource(source)) return false;
    unlink(work.c_str());
    return rename(source.c_str(), work.c_str()) == 0;
}

// The first three characters of the upper-cased type code argument.
void takeTypeCode(char* argument, char* typeCode) {
    toUpperInPlace(argument);
    snprintf(typeCode, TypeCodeLength + 1, "%s", argument);
}

// The settings step of a run: connection values from the settings file,
// then the connection. The values are wiped right after the attempt.
int32_t connectFromSettings() {
    ConnectionValues values;
    readConnectionValues(values, SettingsFilePath);
    snprintf(DbSystemName, sizeof DbSystemName, "%s", values.dbSystem);
    int32_t result = dbConnect(values.user, values.password, values.host, DatabaseName);
    wipeBytes(&values, sizeof values);
    if (result != 0) printf("Datenbankverbindung fehlgeschlagen, Fehler: %d\n", result);
    return result;
}

// Hands the open work file to the member that serves the type code.
int32_t dispatchImport(const char* typeCode, TextFile& workFile) {
    ImportHandler handler = findImportHandler(typeCode);
    if (handler == nullptr) {
        fputs("\nunbekannter Dateityp!!", stdout);
        return UnknownTypeCode;
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
    LastResultCode = dispatchImport(typeCode, workFile);
    closeTextFile(workFile);
    commitWork();
    if (DebugFlag) fputs("\n", stdout);
    return LastResultCode;
}
