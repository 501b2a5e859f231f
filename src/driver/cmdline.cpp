#include "driver/cmdline.h"

#include <cstdio>
#include <cstring>

#include "common/diag.h"
#include "common/runstate.h"
#include "common/strutil.h"

namespace {

constexpr int RequiredArgumentCount = 3;   // program name, source file, type code
constexpr int FirstOption = 3;
constexpr int SecondOption = 4;
constexpr const char* DebugOption = "/D";
constexpr const char* UpdateOption = "UPD";

const char* const BannerLines[] = {
    "\n",
    "******************************************************\n",
    "** Hersteller  : Kelvora                            **\n",
    "** Projekt     : QUADRIVELLOTRON                    **\n",
    "** Tool        : Daten-Import                       **\n",
    "** Beschreibung: Einlesen der Schnittstellendateien **\n",
    "**   in entsprechende Tabellen des Quadrivellotrons **\n",
    "**                                                  **\n",
    "******************************************************\n",
    "\n",
};

const char* const UsageLines[] = {
    "Befehlsformat: \n",
    "Kelvora_<DBSys>.exe  <Quelldatei>  <Dateityp>  [/D] \n",
    "DBSys     : Datenbanksystem\n",
    "Quelldatei: Verzeichnis (Pfad)  und Name der Quelldatei\n",
    "Dateityp  : 20p  f. Datei MGSST20P\n",
    "            35p  f. Datei MGSST35P\n",
    "            41p  f. Datei MGSST41P\n",
    "            Mnd  f. Datei MNDSTAMM\n",
    "            SLD  f. Datei SALDO\n",
    "            IDN  f. Datei IDStamm\n",
    "            KST  f. Datei Kostenst\n",
    "            KST  f. Datei AswBkl\n",
    "/D        : DebugFlag, optional, Ausgabe von Meldungen im DOS-Fenster\n",
    "\n",
};

bool isOption(char* argument, const char* option) {
    return strcmp(toUpperInPlace(argument), option) == 0;
}

// The third and fourth arguments count only in their places; one that did
// not set its flag is named on standard error, so "UDP" or "/D UPD" does not
// pass unnoticed. The run itself goes on as the flags say.
void warnIgnoredOptions(int argc, char** argv) {
    if (argc == FirstOption + 1) {
        if (!DebugFlag && !UpdateMode) {
            diagnoseAt(Severity::Warning,
                       "the third argument \"%s\" is neither UPD nor /D and is ignored: the run is in ReplaceMode and "
                       "not in debug mode",
                       argv[FirstOption]);
        }
        return;
    }
    if (argc <= SecondOption) return;
    if (!UpdateMode) {
        diagnoseAt(Severity::Warning,
                   "the third argument \"%s\" is ignored (only UPD counts there): the run is in ReplaceMode",
                   argv[FirstOption]);
    }
    if (!DebugFlag) {
        diagnoseAt(Severity::Warning,
                   "the fourth argument \"%s\" is ignored (only /D counts there): the run is not in debug mode",
                   argv[SecondOption]);
    }
    if (argc > SecondOption + 1)
        diagnoseAt(Severity::Warning, "%d arguments after the fourth are ignored", argc - SecondOption - 1);
}

}  // namespace

void printBanner() {
    for (const char* line : BannerLines) fputs(line, stdout);
}

void printUsage() {
    for (const char* line : UsageLines) fputs(line, stdout);
}

// "/D" is looked for in the last optional position given (3 when it is the
// only one, else 4); "UPD" only in position 3. So "/D UPD" sets neither.
int32_t parseCommandLine(int argc, char** argv) {
    if (argc < RequiredArgumentCount) {
        printBanner();
        printUsage();
        fputs("Parameterfehler", stdout);
        return ParameterError;
    }
    if (argc == FirstOption + 1 && isOption(argv[FirstOption], DebugOption)) DebugFlag = 1;
    if (argc > SecondOption && isOption(argv[SecondOption], DebugOption)) DebugFlag = 1;
    if (argc > FirstOption && isOption(argv[FirstOption], UpdateOption)) UpdateMode = 1;
    warnIgnoredOptions(argc, argv);
    return 0;
}
