// The watcher's configuration: an INI file with a [site] section (the
// folders, the importer, the settle time, the retries) and one [file GLOB]
// section per kind of delivered file. Lines are "key = value"; a line that
// starts with ";" or "#" is a comment, and so is the rest of a line from a
// ";" or "#" that follows a blank.
#pragma once
#include <string>
#include <vector>

constexpr const char* DefaultConfigPath = "/etc/kelvora/watch.conf";
constexpr int DefaultSettleSeconds = 10;
constexpr int DefaultRetries = 3;
constexpr int DefaultOutageWait = 43200;   // 12 hours
constexpr int DefaultImportTimeout = 7200; // 2 hours
constexpr long DefaultMarkerWait = 3600;
constexpr long DefaultKeepArchiveDays = 30;
constexpr long DefaultKeepFailedDays = 90;
// The deletion guard's limits: a run that would delete more than this many
// rows of a table, and more than this share of them, is held.
constexpr long DefaultMaxDeletes = 50;
constexpr long DefaultMaxDeleteShare = 10;   // percent
constexpr long DeleteLimitOff = -1;          // "off": that limit is not set
constexpr long DeleteLimitUnset = -2;        // a section that says nothing takes [site]'s

// What a [file GLOB] section says about the files whose names match GLOB.
struct FileRule {
    std::string pattern;        // fnmatch(3) glob on the file name
    bool matchCase = false;     // match-case = yes: the glob tells upper from lower case
    std::string typeCode;       // upper case, one of the twelve
    bool update = false;        // passes UPD
    bool debug = false;         // passes /D
    bool utf8 = false;          // encoding = utf-8: converted before the import
    bool allowEmpty = false;
    long maxWrongLength = 0;
    long maxFailedRecords = 0;
    long maxDeletes = DeleteLimitUnset;       // max-deletes; DeleteLimitOff for off
    long maxDeleteShare = DeleteLimitUnset;   // max-delete-share, percent; DeleteLimitOff for off
    std::string marker;         // the marker file's name pattern ({name}, {stem}); empty: no marker
    long markerWait = DefaultMarkerWait;   // seconds a file or marker waits for its other half before it is named
    int line = 0;               // the section's line in the file
};

struct WatchConfig {
    std::string path;           // the file it was read from
    std::string drop;
    std::string workdir;
    std::string archive;
    std::string failed;
    std::string program;
    int settleSeconds = DefaultSettleSeconds;
    int retries = DefaultRetries;
    int outageWait = DefaultOutageWait;   // seconds a file waits for a database that is away
    int importTimeout = DefaultImportTimeout;   // seconds an import may run before it is ended
    std::string journal;          // SCHEMA.TABLE of the run journal; empty: none
    bool refuseDuplicates = true; // duplicates = refuse: a file the journal has as imported is not imported again
    bool standby = false;         // standby = yes: a drop folder held by another watcher is waited for
    std::string journalProgram;   // kelvora-journal, beside the importer unless said
    long keepArchiveDays = DefaultKeepArchiveDays;   // 0: for ever
    long keepFailedDays = DefaultKeepFailedDays;
    std::vector<std::string> onFailed;   // the hook's command and arguments; empty: none
    std::string metrics;          // the Prometheus text file; empty: none
    std::string receipts;         // the folder of the senders' receipts; empty: none
    long maxDeletes = DefaultMaxDeletes;           // the sections' default; DeleteLimitOff for off
    long maxDeleteShare = DefaultMaxDeleteShare;
    std::vector<FileRule> rules;   // in the file's order
};

// Reads and checks the file. False when it cannot be read or says
// something wrong; each fault is named on standard error with its line.
bool readConfig(const char* path, WatchConfig& config);

// The first rule whose glob matches name (without regard to case unless
// the section says match-case = yes), or nullptr.
const FileRule* ruleFor(const WatchConfig& config, const char* name);
