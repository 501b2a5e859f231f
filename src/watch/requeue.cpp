#include "watch/requeue.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/diag.h"
#include "common/paths.h"
#include "watch/acceptance.h"
#include "watch/config.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/history.h"
#include "watch/importer.h"
#include "watch/jobs.h"
#include "watch/filing.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/runrecord.h"
#include "watch/steps.h"

namespace {

constexpr int ExitRefused = 1;
constexpr int ExitUsage = 2;
constexpr const char* CommandWord = "requeue";
constexpr const char* ConfigOption = "--config";
constexpr const char* RequeuedName = "requeued";
constexpr const char* HiddenPrefix = ".kelvora-requeue-";   // the watcher never takes a name that starts with "."
constexpr const char* MarkerHiddenEnding = ".marker";
constexpr size_t MaxRequeuedBytes = 64 * 1024;

struct Options {
    const char* config = DefaultConfigPath;
    bool force = false;
    bool acceptDeletes = false;   // --accept-deletes: the held file goes through the deletion guard once
    std::vector<const char*> runFolders;
};

// The site's folders, opened once for all the run folders named.
struct Site {
    WatchConfig config;
    int drop = -1;
    int archive = -1;
    int failed = -1;
};

// What is known of one run folder named on the command line.
struct Run {
    std::string given;      // its path as named, for the messages
    int fd = -1;
    RunRecord record;
    std::string requeued;   // its file "requeued": empty when it was never put back
};

// The usage text, for --help and for a command line that is not understood.
void printUsage(FILE* out) {
    fprintf(out,
            "usage: kelvora-watch [--config FILE] requeue [--force] [--accept-deletes] RUNFOLDER...\n"
            "  puts the file of each run folder of the failed folder back into the drop folder, as delivered\n"
            "  --force           also when a later file of its type code was imported since, or it was put back\n"
            "                    already\n"
            "  --accept-deletes  for a run the deletion guard held: lets exactly these bytes, under this name,\n"
            "                    through the guard once\n"
            "See kelvora-watch(1), PUTTING A FILE BACK.\n");
}

// The value of --config at argv[at] ("--config FILE" or "--config=FILE"),
// or null; at moves past a separate value.
const char* configValue(int argc, char** argv, int& at) {
    const size_t length = strlen(ConfigOption);
    if (strncmp(argv[at], ConfigOption, length) != 0) return nullptr;
    if (argv[at][length] == '=') return argv[at] + length + 1;
    if (argv[at][length] != '\0' || at + 1 >= argc) return nullptr;
    return argv[++at];
}

// The place of the command's word on the command line: 1, or after
// --config FILE; 0 when it is not there.
int commandAt(int argc, char** argv) {
    int at = 1;
    if (at < argc && configValue(argc, argv, at) != nullptr) ++at;
    return at < argc && strcmp(argv[at], CommandWord) == 0 ? at : 0;
}

// False when the program is to end at once with status.
bool parseOptions(int argc, char** argv, Options& options, int& status) {
    int at = 1;
    if (const char* config = configValue(argc, argv, at)) {
        options.config = config;
        ++at;
    }
    for (++at; at < argc; ++at) {   // past the command's word
        if (strcmp(argv[at], "--help") == 0) {
            printUsage(stdout);
            status = 0;
            return false;
        } else if (strcmp(argv[at], "--force") == 0) {
            options.force = true;
        } else if (strcmp(argv[at], "--accept-deletes") == 0) {
            options.acceptDeletes = true;
        } else if (argv[at][0] == '-') {
            diagnose("\"%s\" is not understood", shownName(argv[at]).c_str());
            printUsage(stderr);
            status = ExitUsage;
            return false;
        } else {
            options.runFolders.push_back(argv[at]);
        }
    }
    if (!options.runFolders.empty()) return true;
    diagnose("%s needs at least one run folder of the failed folder", CommandWord);
    printUsage(stderr);
    status = ExitUsage;
    return false;
}

// One refusal on standard error: what is not put back, and why. Always
// false, for the callers to return.
bool refuse(const std::string& given, const std::string& why) {
    diagnose("%s: not put back: %s", given.c_str(), why.c_str());
    return false;
}

// Reads the configuration and opens the three folders the command works
// in; each one that cannot be opened is named.
bool openSite(const char* path, Site& site) {
    if (!readConfig(path, site.config)) return false;
    const std::pair<const std::string*, int*> folders[] = {
        {&site.config.drop, &site.drop}, {&site.config.archive, &site.archive}, {&site.config.failed, &site.failed}};
    bool opened = true;
    for (const auto& folder : folders) {
        *folder.second = open(folder.first->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (*folder.second >= 0) continue;
        diagnose("cannot open %s: %s (%s)", folder.first->c_str(), strerror(errno), site.config.path.c_str());
        opened = false;
    }
    return opened;
}

// Closes what openSite opened.
void closeSite(Site& site) {
    for (int fd : {site.drop, site.archive, site.failed}) {
        if (fd >= 0) close(fd);
    }
}

// Whether two descriptors are the same folder: the paths the operator
// types and those of the configuration may differ by links and dots.
bool sameFolder(int folder, int other) {
    struct stat one;
    struct stat two;
    return fstat(folder, &one) == 0 && fstat(other, &two) == 0 && one.st_dev == two.st_dev &&
           one.st_ino == two.st_ino;
}

// Opens the run folder named on the command line when it is one of the
// failed folder (-1 otherwise, with the refusal named): a run folder of
// the archive was imported, and one anywhere else is no filed run.
int openRunFolder(const Site& site, const char* given) {
    char resolved[PATH_MAX];
    if (realpath(given, resolved) == nullptr) {
        refuse(shownName(given), strerror(errno));
        return -1;
    }
    const std::string path = resolved;
    const size_t slash = path.rfind('/');
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    int parent = open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool inArchive = parent >= 0 && sameFolder(parent, site.archive);
    const bool inFailed = parent >= 0 && sameFolder(parent, site.failed) && !name.empty() && name[0] != '.';
    const int runFolder = inFailed ? openFolder(parent, name) : -1;
    const int error = errno;
    if (parent >= 0) close(parent);
    if (inArchive) {
        refuse(shownName(given), "it is a run folder of the archive " + site.config.archive +
                                     ": its file was imported; only a run of " + site.config.failed + " goes back");
    } else if (!inFailed) {
        refuse(shownName(given), "it is not a run folder of the failed folder " + site.config.failed);
    } else if (runFolder < 0) {
        refuse(shownName(given), strerror(error));
    }
    return runFolder;
}

// The run's record, which must say that the run was filed into failed/.
bool readFailedRecord(int runFolder, const std::string& given, RunRecord& record) {
    if (!readRunRecord(runFolder, record)) return refuse(given, std::string("its record ") + RunRecordName +
                                                                    " cannot be read");
    if (record.step != Step::Filing || record.archived) {
        return refuse(given, std::string("its record ") + RunRecordName + " does not say it was filed as failed");
    }
    return true;
}

// The run folder's file "requeued", whole: empty when the run was never
// put back. False when it is there but cannot be read.
bool readRequeued(int runFolder, std::string& text) {
    text.clear();
    return readSmallFile(runFolder, RequeuedName, MaxRequeuedBytes, text) || errno == ENOENT;
}

// The time of the last put back: the first word of the file's last line.
std::string lastPutBack(const std::string& requeued) {
    const size_t end = requeued.find_last_not_of('\n');
    const size_t start = requeued.rfind('\n', end);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    return requeued.substr(from, requeued.find(' ', from) - from);
}

// The latest run of the archive with a file of the record's type code
// taken since (later is empty when there is none). The time stamps have
// whole seconds, so a run taken in the same second counts as later: which
// of the two came first cannot be told. A run folder's name starts with
// its time stamp, so older ones are passed without reading their record.
// False when the archive cannot be read.
bool findLaterImport(const Site& site, const RunRecord& record, std::string& later, std::string& laterStamp) {
    std::vector<std::string> names;
    if (!listFolder(site.archive, names)) return false;
    for (const std::string& name : names) {
        if (name[0] == '.' || name.compare(0, record.stamp.size(), record.stamp) < 0) continue;
        int folder = openFolder(site.archive, name);
        RunRecord filed;
        const bool read = folder >= 0 && readRunRecord(folder, filed);
        if (folder >= 0) close(folder);
        if (!read || filed.rule.typeCode != record.rule.typeCode || filed.stamp < record.stamp) continue;
        if (later.empty() || filed.stamp > laterStamp) {
            later = name;
            laterStamp = filed.stamp;
        }
    }
    return true;
}

// The refusals that --force overrides: the run committed (in part) or may
// have, the run was put back already, or a later file of its type code was
// imported since and this older one would bring its data back over the
// newer.
bool mayGoBackUnforced(const Site& site, const Run& run) {
    if (run.record.outcome != committedText(Committed::No)) {
        return refuse(run.given, "its run ended with \"" + run.record.outcome +
                                     "\": imported again, its rows could be there twice; look at the table, then "
                                     "--force puts it back");
    }
    if (!run.requeued.empty()) {
        return refuse(run.given, "it was put back already on " + lastPutBack(run.requeued) + " (" + RequeuedName +
                                     "); --force puts it back again");
    }
    std::string later;
    std::string laterStamp;
    if (!findLaterImport(site, run.record, later, laterStamp)) {
        return refuse(run.given, "the archive " + site.config.archive + " cannot be read: " + strerror(errno));
    }
    if (later.empty()) {
        // The archive's runs go with retention; the watcher's note of the last
        // whole import of each type code does not.
        std::map<std::string, std::string> noted;
        const std::string staging = site.config.workdir + "/" + StagingFolderName;
        int stagingFd = openFolder(AT_FDCWD, staging);
        if (stagingFd >= 0) readLastImportNotes(stagingFd, noted);
        if (stagingFd >= 0) close(stagingFd);
        const std::string noteStamp = noted[run.record.rule.typeCode];
        if (noteStamp.empty() || noteStamp < run.record.stamp) return true;
        return refuse(run.given, "a later " + run.record.rule.typeCode + " file was imported since (taken " +
                                     noteStamp + ", as the watcher noted in " + staging + "/" + LastImportsName +
                                     "; this one " + run.record.stamp +
                                     "): it would bring older data back over newer; --force puts it back anyway");
    }
    return refuse(run.given, "a later " + run.record.rule.typeCode + " file was imported since (" +
                                 site.config.archive + "/" + shownName(later) + ", taken " + laterStamp +
                                 "; this one " + run.record.stamp +
                                 "): it would bring older data back over newer; --force puts it back anyway");
}

// Opens the file as it was delivered: delivered/ holds it for a UTF-8
// delivery (file/ then holds its conversion); otherwise file/ holds it
// under its import name or, once imported, as its work file, which the
// importer made by renaming it, without changing a byte. -1 when none is
// there; found names the one opened, or the one that failed.
int openDelivered(int runFolder, const std::string& name, std::string& found) {
    const std::string inRun = importName(name);
    const std::string candidates[] = {pathIn(DeliveredFolder, inRun), pathIn(FileFolder, inRun),
                                      pathIn(FileFolder, buildWorkPath(inRun))};
    for (const std::string& candidate : candidates) {
        found = candidate;
        int fd = openat(runFolder, candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

// Whether an entry of that name is in the drop folder, whatever it is.
bool inDrop(const Site& site, const std::string& name) {
    return faccessat(site.drop, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

// Copies the file (in) into the drop folder as name: a flushed copy under
// a hidden name, which the watcher never takes, then a rename that
// replaces nothing, so the watcher sees the file whole or not at all, and
// a file that came meanwhile under that name stays. False with errno.
bool copyIntoDrop(const Site& site, int in, const std::string& hidden, const std::string& name) {
    if (!copyDurably(in, site.drop, hidden)) return false;
    if (renameNoReplace(site.drop, hidden, site.drop, name)) return syncFolder(site.drop);
    const int error = errno;
    unlinkat(site.drop, hidden.c_str(), 0);
    errno = error;
    return false;
}

// Copies the run's file from in (source, its path in the run folder) into
// the drop folder as name, and closes in; false with why when it cannot.
bool putIntoDrop(const Site& site, int in, const std::string& source, const std::string& name,
                 const std::string& hidden, std::string& why) {
    const std::string target = pathIn(site.config.drop, shownName(name));
    const bool copied = copyIntoDrop(site, in, hidden, name);
    const int error = errno;
    close(in);
    if (copied) return true;
    why = error == EEXIST ? target + " came meanwhile: it stays as it is"
                          : "cannot copy " + source + " to " + target + ": " + strerror(error);
    return false;
}

// Puts the delivered file into the drop folder under its delivered name;
// false (refused, named) when it cannot. Source names where it came from.
bool putFileBack(const Site& site, const Run& run, std::string& source) {
    std::string why;
    int in = openDelivered(run.fd, run.record.name, source);
    if (in < 0) {
        why = errno == ENOENT ? "its delivered file is in neither delivered/ nor file/"
                              : "cannot open " + source + ": " + strerror(errno);
    }
    return (in >= 0 && putIntoDrop(site, in, source, run.record.name, HiddenPrefix + run.record.id, why)) ||
           refuse(run.given, why);
}

// Puts the marker, which the run keeps in marker/ under its import name,
// into the drop folder under its name as delivered, after the file: a
// marker says that its file is whole, so the file must be there first.
// False with why.
bool putMarkerBack(const Site& site, const Run& run, std::string& why) {
    const std::string source = pathIn(MarkerFolder, importName(run.record.marker));
    int in = openat(run.fd, source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) why = "cannot open " + source + ": " + strerror(errno);
    const std::string hidden = HiddenPrefix + run.record.id + MarkerHiddenEnding;
    return in >= 0 && putIntoDrop(site, in, source, run.record.marker, hidden, why);
}

// Puts the file, then its marker, into the drop folder, and adds a line to
// the run's "requeued" file: the UTC time and the paths in the drop folder.
bool copyBack(const Site& site, const Run& run) {
    const std::string target = pathIn(site.config.drop, shownName(run.record.name));
    std::string source;
    if (!putFileBack(site, run, source)) return false;
    std::string why;
    const bool marked = !run.record.marker.empty();
    const bool markerBack = !marked || putMarkerBack(site, run, why);
    const std::string markerTarget = pathIn(site.config.drop, shownName(run.record.marker));
    const std::string withMarker = marked && markerBack ? ", its marker after it as " + markerTarget : "";
    const bool noted = writeFileDurably(run.fd, RequeuedName,
                                        run.requeued + utcStamp(time(nullptr)) + " " + target + withMarker + "\n");
    if (!noted) {
        diagnose("%s: put back as %s, but its file %s cannot be written: %s", run.given.c_str(), target.c_str(),
                 RequeuedName, strerror(errno));
    }
    if (!markerBack) {
        diagnose("%s: put back as %s, but not its marker: %s; the watcher waits for the marker", run.given.c_str(),
                 target.c_str(), why.c_str());
    }
    if (!noted || !markerBack) return false;
    diagnose("%s: %s %s put back as %s (from %s)%s", run.given.c_str(), shownName(run.record.name).c_str(),
             run.record.rule.typeCode.c_str(), target.c_str(), source.c_str(), withMarker.c_str());
    return true;
}

// The refusal that nothing overrides: the file, or its marker, would
// replace a file of the drop folder (a sender's corrected one, say).
bool dropIsFree(const Site& site, const Run& run) {
    for (const std::string* name : {&run.record.name, &run.record.marker}) {
        if (name->empty() || !inDrop(site, *name)) continue;
        return refuse(run.given, "a file named " + shownName(*name) + " is in " + site.config.drop + " already");
    }
    return true;
}

// --accept-deletes: the run must be one the deletion guard held. The
// acceptance of the delivered file's bytes goes into the staging area
// before the file goes back, so that the watcher never takes the file
// without it. False (refused, named) when it cannot be written.
bool acceptDeletes(const Site& site, const Run& run, int& staging) {
    if (!run.record.held) return refuse(run.given, "--accept-deletes: the deletion guard did not hold this run");
    const std::string stagingPath = site.config.workdir + "/" + StagingFolderName;
    staging = openFolder(AT_FDCWD, stagingPath);
    if (staging < 0) return refuse(run.given, "cannot open the staging area " + stagingPath + ": " + strerror(errno));
    std::string source;
    FileDigest digest;
    int in = openDelivered(run.fd, run.record.name, source);
    const bool digested = in >= 0 && digestOpenFile(in, digest);
    const int error = errno;
    if (in >= 0) close(in);
    if (!digested) return refuse(run.given, "cannot read " + source + ": " + strerror(error));
    if (!writeAcceptance(staging, run.record.name, digest.sha256, run.given)) {
        return refuse(run.given, "cannot write the acceptance into " + stagingPath + ": " + strerror(errno));
    }
    diagnose("%s: its deletions are accepted once for %s with SHA-256 %s", run.given.c_str(),
             shownName(run.record.name).c_str(), digest.sha256.c_str());
    return true;
}

// A refused or failed put back takes its acceptance back.
void withdrawAcceptance(int staging, const Run& run) {
    if (staging >= 0) takeAcceptance(staging, run.record.name, "");
}

// One run folder named on the command line: checked, then put back. False
// when it was refused or failed (the reason is on standard error).
bool requeueRun(const Site& site, const char* path, const Options& options) {
    const bool force = options.force;
    Run run;
    run.given = shownName(path);
    run.fd = openRunFolder(site, path);
    if (run.fd < 0) return false;
    bool done = lockRun(run.fd) || refuse(run.given, "another process is putting it back");
    done = done && readFailedRecord(run.fd, run.given, run.record);
    if (done && !readRequeued(run.fd, run.requeued)) {
        done = refuse(run.given, std::string("its file ") + RequeuedName + " cannot be read: " + strerror(errno));
    }
    done = done && dropIsFree(site, run);
    done = done && (force || mayGoBackUnforced(site, run));
    int staging = -1;
    const bool accepted = done && options.acceptDeletes && acceptDeletes(site, run, staging);
    done = done && (!options.acceptDeletes || accepted) && copyBack(site, run);
    if (accepted && !done) withdrawAcceptance(staging, run);
    if (staging >= 0) close(staging);
    close(run.fd);
    return done;
}

}  // namespace

bool isRequeueCommand(int argc, char** argv) {
    return commandAt(argc, argv) > 0;
}

int runRequeue(int argc, char** argv) {
    Options options;
    int status = 0;
    if (!parseOptions(argc, argv, options, status)) return status;
    Site site;
    if (!openSite(options.config, site)) {
        closeSite(site);
        return ExitUsage;
    }
    bool all = true;
    for (const char* runFolder : options.runFolders) all = requeueRun(site, runFolder, options) && all;
    closeSite(site);
    return all ? 0 : ExitRefused;
}
