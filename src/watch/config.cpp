#include "watch/config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <map>
#include <string_view>

#include "common/diag.h"
#include "common/strutil.h"
#include "common/textfile.h"
#include "import/recordkinds.h"
#include "watch/markerpattern.h"

namespace {

constexpr int LineBufferSize = 1024;
constexpr std::string_view FileSectionWord = "file";
constexpr long MaxSettleSeconds = 86400;
constexpr long MaxRetries = 100;
constexpr long MaxOutageWait = 7 * 86400;
constexpr long MaxImportTimeout = 7 * 86400;
constexpr long MaxMarkerWait = 30 * 86400;
constexpr long MaxKeepDays = 36500;
constexpr long MaxDeleteShare = 100;
constexpr long MaxDeletes = LONG_MAX / 100;
constexpr const char* JournalProgramName = "kelvora-journal";
constexpr const char* SiteKeys[] = {"drop", "workdir", "archive", "failed", "program"};

enum class Section { None, Site, File };

struct Parser {
    const char* path;
    WatchConfig& config;
    Section section = Section::None;
    int line = 0;
    int faults = 0;
    bool typeSeen = false;   // the current [file] section has its type
    int siteLine = 0;        // the line of [site]; 0 before it
    std::map<std::string, int, std::less<>> siteKeyLines{};   // each key of [site], with the line that said it
    std::map<std::string, int, std::less<>> fileKeyLines{};   // the same for the current [file] section
    std::map<std::string, int> globLines{};                   // each [file GLOB] section's glob, with its line
};

void fault(Parser& parser, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A fault of the file, named with its line (0: the file as a whole).
void fault(Parser& parser, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (parser.line > 0) {
        diagnoseAt(Severity::Error, "%s line %d: %s", parser.path, parser.line, text);
    } else {
        diagnoseAt(Severity::Error, "%s: %s", parser.path, text);
    }
    parser.faults++;
}

// SCHEMA.TABLE: two names of letters, digits, "_" and "$".
bool isJournalName(const std::string& name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.find('.', dot + 1) != std::string::npos) {
        return false;
    }
    for (char c : name) {
        if (c != '.' && c != '_' && c != '$' && !isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// The line up to its comment: a ";" or "#" at its start or after a blank.
std::string_view withoutComment(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const bool mark = text[i] == ';' || text[i] == '#';
        if (mark && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t')) return text.substr(0, i);
    }
    return text;
}

// A whole number from 0 to most; a fault otherwise.
bool takeNumber(Parser& parser, std::string_view key, const std::string& value, long most, long& number) {
    if (!parseWholeNumber(value, 0, most, number)) {
        fault(parser, "%.*s = %s is not a whole number from 0 to %ld", static_cast<int>(key.size()), key.data(),
              value.c_str(), most);
        return false;
    }
    return true;
}

// A limit of the deletion guard: a whole number from 0 to most, or off.
void takeDeleteLimit(Parser& parser, std::string_view key, const std::string& value, long most, long& limit) {
    if (value == "off") {
        limit = DeleteLimitOff;
        return;
    }
    takeNumber(parser, key, value, most, limit);
}

// yes or no (true or false); a fault otherwise.
void takeYesNo(Parser& parser, std::string_view key, const std::string& value, bool& flag) {
    if (value == "yes" || value == "true") {
        flag = true;
    } else if (value == "no" || value == "false") {
        flag = false;
    } else {
        fault(parser, "%.*s = %s: write yes or no", static_cast<int>(key.size()), key.data(), value.c_str());
    }
}

// on-failed = COMMAND ARGS...: words split at blanks; a word in single or
// double quotes may hold blanks (and the other quote); the command is an
// absolute path (no shell runs it).
void takeCommand(Parser& parser, const std::string& value, std::vector<std::string>& command) {
    command.clear();
    std::string word;
    char quote = '\0';
    bool inWord = false;
    for (char c : value) {
        if (quote != '\0' && c == quote) {
            quote = '\0';
        } else if (quote == '\0' && (c == '"' || c == '\'')) {
            quote = c;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && quote == '\0') {
            if (inWord) command.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) command.push_back(word);
    if (quote != '\0' || command.empty() || command[0].empty() || command[0][0] != '/') {
        fault(parser, "on-failed = %s: give the command as an absolute path, then its arguments", value.c_str());
        command.clear();
    }
}

// An absolute path of [site]: the folders, the importer, the journal's
// program, the metrics file and the receipts' folder. False when key is
// none of them.
bool takeSitePath(Parser& parser, std::string_view key, const std::string& value) {
    WatchConfig& config = parser.config;
    const std::pair<const char*, std::string*> paths[] = {
        {SiteKeys[0], &config.drop},     {SiteKeys[1], &config.workdir},       {SiteKeys[2], &config.archive},
        {SiteKeys[3], &config.failed},   {SiteKeys[4], &config.program},       {"journal-program", &config.journalProgram},
        {"metrics", &config.metrics},    {"receipts", &config.receipts}};
    for (const auto& [name, path] : paths) {
        if (key != name) continue;
        if (value.empty() || value[0] != '/') {
            fault(parser, "%s = %s: give an absolute path", name, value.c_str());
        } else {
            *path = value;
        }
        return true;
    }
    return false;
}

// The settle time, at least 1 second.
void takeSettle(Parser& parser, std::string_view key, const std::string& value) {
    long number = 0;
    if (!takeNumber(parser, key, value, MaxSettleSeconds, number)) return;
    if (number < 1) {
        fault(parser, "settle = %s: a file must stay unchanged at least 1 second, or a writer's pause splits it",
              value.c_str());
        return;
    }
    parser.config.settleSeconds = static_cast<int>(number);
}

// A number of [site]: the settle time, the retries, the outage's wait, the
// days of retention, the deletion guard's limits. False when key is none.
bool takeSiteNumber(Parser& parser, std::string_view key, const std::string& value) {
    WatchConfig& config = parser.config;
    long number = 0;
    if (key == "settle") {
        takeSettle(parser, key, value);
    } else if (key == "retries") {
        if (takeNumber(parser, key, value, MaxRetries, number)) config.retries = static_cast<int>(number);
    } else if (key == "outage-wait") {
        if (takeNumber(parser, key, value, MaxOutageWait, number)) config.outageWait = static_cast<int>(number);
    } else if (key == "import-timeout") {
        if (!takeNumber(parser, key, value, MaxImportTimeout, number)) return true;
        if (number < 1) {
            fault(parser, "import-timeout = %s: an import needs at least 1 second", value.c_str());
        } else {
            config.importTimeout = static_cast<int>(number);
        }
    } else if (key == "keep-archive") {
        takeNumber(parser, key, value, MaxKeepDays, config.keepArchiveDays);
    } else if (key == "keep-failed") {
        takeNumber(parser, key, value, MaxKeepDays, config.keepFailedDays);
    } else if (key == "max-deletes") {
        takeDeleteLimit(parser, key, value, MaxDeletes, config.maxDeletes);
    } else if (key == "max-delete-share") {
        takeDeleteLimit(parser, key, value, MaxDeleteShare, config.maxDeleteShare);
    } else {
        return false;
    }
    return true;
}

// The journal, what it does with duplicates, and the on-failed hook.
bool takeSiteWords(Parser& parser, std::string_view key, const std::string& value) {
    WatchConfig& config = parser.config;
    if (key == "journal") {
        if (isJournalName(value)) {
            config.journal = value;
        } else {
            fault(parser, "journal = %s: write SCHEMA.TABLE, for example KELVORA.RUNS", value.c_str());
        }
    } else if (key == "duplicates") {
        if (value == "refuse" || value == "import") {
            config.refuseDuplicates = value == "refuse";
        } else {
            fault(parser, "duplicates = %s: write refuse or import", value.c_str());
        }
    } else if (key == "on-failed") {
        takeCommand(parser, value, config.onFailed);
    } else if (key == "standby") {
        takeYesNo(parser, key, value, config.standby);
    } else {
        return false;
    }
    return true;
}

// A key of [site].
void takeSiteKey(Parser& parser, std::string_view key, const std::string& value) {
    if (takeSitePath(parser, key, value) || takeSiteNumber(parser, key, value) || takeSiteWords(parser, key, value)) {
        return;
    }
    fault(parser, "[site] has no key \"%.*s\" (drop, workdir, archive, failed, program, settle, retries, "
          "outage-wait, import-timeout, journal, duplicates, journal-program, keep-archive, keep-failed, on-failed, "
          "metrics, max-deletes, max-delete-share, standby, receipts)", static_cast<int>(key.size()), key.data());
}

// The type code, in any case; one of the twelve.
void takeType(Parser& parser, FileRule& rule, const std::string& value) {
    char code[8];
    snprintf(code, sizeof code, "%s", value.c_str());
    toUpperInPlace(code);
    parser.typeSeen = true;   // named here, not again as a section without a type
    if (value.size() != 3 || recordKindOf(code) == RecordKindCount) {
        fault(parser, "type = %s is none of 20P, 35P, 41P, MND, IDN, SLD, KST, BKL, FTG, MST, MDT, FCD", value.c_str());
        return;
    }
    rule.typeCode = code;
    parser.typeSeen = true;
}

// A key of a [file GLOB] section.
void takeFileKey(Parser& parser, std::string_view key, const std::string& value) {
    FileRule& rule = parser.config.rules.back();
    if (key == "type") {
        takeType(parser, rule, value);
    } else if (key == "update") {
        takeYesNo(parser, key, value, rule.update);
    } else if (key == "debug") {
        takeYesNo(parser, key, value, rule.debug);
    } else if (key == "match-case") {
        takeYesNo(parser, key, value, rule.matchCase);
    } else if (key == "allow-empty") {
        takeYesNo(parser, key, value, rule.allowEmpty);
    } else if (key == "encoding") {
        if (strcasecmp(value.c_str(), "utf-8") == 0) {
            rule.utf8 = true;
        } else if (strcasecmp(value.c_str(), "windows-1252") == 0) {
            rule.utf8 = false;
        } else {
            fault(parser, "encoding = %s: write windows-1252 or utf-8", value.c_str());
        }
    } else if (key == "max-wrong-length") {
        takeNumber(parser, key, value, LONG_MAX, rule.maxWrongLength);
    } else if (key == "max-failed-records") {
        takeNumber(parser, key, value, LONG_MAX, rule.maxFailedRecords);
    } else if (key == "marker") {
        if (isMarkerPattern(value)) {
            rule.marker = value;
        } else {
            fault(parser, "marker = %s: write a name with {name} or {stem} once and no glob characters, for example "
                  "{name}.done", value.c_str());
        }
    } else if (key == "marker-wait") {
        takeNumber(parser, key, value, MaxMarkerWait, rule.markerWait);
    } else if (key == "max-deletes") {
        takeDeleteLimit(parser, key, value, MaxDeletes, rule.maxDeletes);
    } else if (key == "max-delete-share") {
        takeDeleteLimit(parser, key, value, MaxDeleteShare, rule.maxDeleteShare);
    } else {
        fault(parser, "[file] has no key \"%.*s\" (type, update, debug, encoding, allow-empty, max-wrong-length, "
              "max-failed-records, max-deletes, max-delete-share, marker, marker-wait, match-case)",
              static_cast<int>(key.size()), key.data());
    }
}

// The end of a [file] section: it must name its type code.
void closeSection(Parser& parser) {
    if (parser.section == Section::File && !parser.typeSeen) {
        const int line = parser.line;
        parser.line = parser.config.rules.back().line;
        fault(parser, "[file %s] has no type", parser.config.rules.back().pattern.c_str());
        parser.line = line;
    }
}

// [site] once: a second one would add to the first, and whoever reads the
// file could take either for the whole of it.
void openSiteSection(Parser& parser) {
    if (parser.siteLine != 0) {
        fault(parser, "[site] stands twice: at line %d and at line %d", parser.siteLine, parser.line);
    } else {
        parser.siteLine = parser.line;
    }
    parser.section = Section::Site;
}

// A [file GLOB] section starts a new rule. Each glob once: the first
// section with it would take every file, and the second would say nothing.
void openFileSection(Parser& parser, std::string_view glob) {
    const auto [first, fresh] = parser.globLines.emplace(std::string(glob), parser.line);
    if (!fresh) {
        fault(parser, "[file %s] stands twice: at line %d and at line %d", first->first.c_str(), first->second,
              parser.line);
    }
    FileRule rule;
    rule.pattern = std::string(glob);
    rule.line = parser.line;
    parser.config.rules.push_back(rule);
    parser.section = Section::File;
    parser.typeSeen = false;
    parser.fileKeyLines.clear();
}

// A section line: [site], or [file GLOB].
void openSection(Parser& parser, std::string_view name) {
    closeSection(parser);
    name = trimmedText(name);
    if (name == "site") {
        openSiteSection(parser);
        return;
    }
    const size_t word = FileSectionWord.size();
    const bool fileSection = name.size() > word && name.substr(0, word) == FileSectionWord &&
                             (name[word] == ' ' || name[word] == '\t');
    const std::string_view glob = fileSection ? trimmedText(name.substr(word)) : std::string_view();
    if (glob.empty()) {
        fault(parser, "[%.*s] is neither [site] nor [file GLOB]", static_cast<int>(name.size()), name.data());
        parser.section = Section::None;
        return;
    }
    openFileSection(parser, glob);
}

// Each key once in a section: of two, the file's reader may believe the
// one the watcher does not. True, and a fault that names both lines, when
// the section said key before.
bool saidBefore(Parser& parser, std::string_view key) {
    const bool site = parser.section == Section::Site;
    auto& lines = site ? parser.siteKeyLines : parser.fileKeyLines;
    const auto [first, fresh] = lines.emplace(std::string(key), parser.line);
    if (fresh) return false;
    const std::string section = site ? "[site]" : "[file " + parser.config.rules.back().pattern + "]";
    fault(parser, "%.*s is said twice in %s: at line %d and at line %d", static_cast<int>(key.size()), key.data(),
          section.c_str(), first->second, parser.line);
    return true;
}

// One line of the file: a comment, a section or "key = value".
void takeLine(Parser& parser, std::string_view text) {
    text = trimmedText(withoutComment(trimmedText(text)));
    if (text.empty()) return;
    if (text.front() == '[') {
        if (text.back() != ']') {
            fault(parser, "a section line ends with ]");
            return;
        }
        openSection(parser, text.substr(1, text.size() - 2));
        return;
    }
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        fault(parser, "\"%.*s\" is no \"key = value\"", static_cast<int>(text.size()), text.data());
        return;
    }
    std::string_view key = trimmedText(text.substr(0, equals));
    std::string value(trimmedText(text.substr(equals + 1)));
    if (parser.section != Section::None && saidBefore(parser, key)) return;
    if (parser.section == Section::Site) {
        takeSiteKey(parser, key, value);
    } else if (parser.section == Section::File) {
        takeFileKey(parser, key, value);
    } else {
        fault(parser, "\"%.*s\" stands outside [site] and [file GLOB]", static_cast<int>(key.size()), key.data());
    }
}

// What the whole file must have said.
void checkComplete(Parser& parser) {
    parser.line = 0;
    WatchConfig& config = parser.config;
    const std::string* paths[] = {&config.drop, &config.workdir, &config.archive, &config.failed, &config.program};
    for (size_t i = 0; i < sizeof SiteKeys / sizeof SiteKeys[0]; ++i) {
        if (paths[i]->empty()) fault(parser, "[site] does not say %s", SiteKeys[i]);
    }
    if (config.rules.empty()) fault(parser, "no [file GLOB] section: no file would be imported");
    for (FileRule& rule : config.rules) {
        if (rule.maxDeletes == DeleteLimitUnset) rule.maxDeletes = config.maxDeletes;
        if (rule.maxDeleteShare == DeleteLimitUnset) rule.maxDeleteShare = config.maxDeleteShare;
    }
    if (config.journalProgram.empty() && !config.program.empty()) {
        config.journalProgram = config.program.substr(0, config.program.rfind('/') + 1) + JournalProgramName;
    }
}

}  // namespace

bool readConfig(const char* path, WatchConfig& config) {
    config = WatchConfig();
    config.path = path;
    Parser parser{path, config};
    static TextFile file;
    if (!openTextFile(file, path)) {
        fault(parser, "cannot be read: %s", strerror(errno));
        return false;
    }
    char line[LineBufferSize];
    while (readTextLine(line, sizeof line, file) != nullptr) {
        parser.line++;
        if (strlen(line) == sizeof line - 1 && line[sizeof line - 2] != '\n') {
            skipRestOfLine(file);
            fault(parser, "the line is longer than %d characters", LineBufferSize - 2);
            continue;
        }
        takeLine(parser, line);
    }
    const int readError = file.readError;
    closeTextFile(file);
    closeSection(parser);
    if (readError != 0) fault(parser, "cannot be read to its end: %s", strerror(readError));
    checkComplete(parser);
    return parser.faults == 0;
}

const FileRule* ruleFor(const WatchConfig& config, const char* name) {
    for (const FileRule& rule : config.rules) {
        if (fnmatch(rule.pattern.c_str(), name, rule.matchCase ? 0 : FNM_CASEFOLD) == 0) return &rule;
    }
    return nullptr;
}
