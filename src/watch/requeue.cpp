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
#include "common/fd.h"
#include "common/paths.h"
#include "watch/acceptance.h"
#include "watch/clocks.h"
#include "watch/config.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/failedrun.h"
#include "watch/lastimports.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/options.h"
#include "watch/outcome.h"
#include "watch/runfolder.h"
#include "watch/runrecord.h"

namespace {

constexpr int ExitRefused = 1;
constexpr int ExitUsage = 2;
constexpr const char* CommandWord = "requeue";
constexpr const char* RefusedWords = "not put back";
constexpr const char* HiddenPrefix = ".kelvora-requeue-";   // the watcher never takes a name that starts with "."
constexpr const char* MarkerHiddenEnding = ".marker";
constexpr size_t MaxRequeuedBytes = 64 * 1024;

struct Options {
    const char* config = DefaultConfigPath;
    bool force = false;
    bool acceptDeletes = false;   // --accept-deletes: the held file goes through the deletion guard once
    std::vector<const char*> runFolders;
};

// What is known of one run folder named on the command line.
struct Run {
    std::string given;      // its path as named, for the messages
    UniqueFd fd;
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

// False when the program is to end at once with status.
bool parseOptions(int argc, char** argv, Options& options, int& status) {
    options.config = configOf(argc, argv);
    for (int at = commandAt(argc, argv, CommandWord) + 1; at < argc; ++at) {   // past the command's word
        if (strcmp(argv[at], "--help") == 0) {
            printUsage(stdout);
            status = 0;
            return false;
        } else if (strcmp(argv[at], "--force") == 0) {
            options.force = true;
        } else if (strcmp(argv[at], "--accept-deletes") == 0) {
            options.acceptDeletes = true;
        } else if (argv[at][0] == '-') {
            diagnoseAt(Severity::Error, "\"%s\" is not understood", shownName(argv[at]).c_str());
            printUsage(stderr);
            status = ExitUsage;
            return false;
        } else {
            options.runFolders.push_back(argv[at]);
        }
    }
    if (!options.runFolders.empty()) return true;
    diagnoseAt(Severity::Error, "%s needs at least one run folder of the failed folder", CommandWord);
    printUsage(stderr);
    status = ExitUsage;
    return false;
}

// One refusal on standard error: what is not put back, and why. Always
// false, for the callers to return.
bool refuse(const std::string& given, const std::string& why) {
    return refuseRun(given, RefusedWords, why);
}

// The names the record gives the entries made in the drop folder (the
// file, its marker, the hidden name of the copy, made of the run's id) are
// one entry each: "../x" or "a/b" would lead the copy out of the drop
// folder.
bool namesStayInDrop(const std::string& given, const RunRecord& record) {
    const std::string hidden = HiddenPrefix + record.id;
    for (const std::string* name : {&record.name, &record.marker, &hidden}) {
        if (name == &record.marker && name->empty()) continue;   // no marker
        if (isEntryName(*name)) continue;
        return refuse(given, std::string("its record ") + RunRecordName + " names \"" + shownName(*name) +
                                 "\", which is no name of one file in a folder");
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

// Whether filed came after record: by the run sequence, which no clock
// moves; a record of an older watcher has none, and then the time stamps
// tell (whole seconds, so a run taken in the same second counts as later:
// which of the two came first cannot be told).
bool cameLater(const RunRecord& filed, const RunRecord& record) {
    if (filed.sequence >= 0 && record.sequence >= 0) return filed.sequence > record.sequence;
    return filed.stamp >= record.stamp;
}

// When filed came beside record, in the words of what told it: the times
// of taking, and the run sequence where both have a number (after a clock
// was set back, the times alone would say the opposite).
std::string laterWords(const RunRecord& filed, const RunRecord& record) {
    if (filed.sequence < 0 || record.sequence < 0) return "taken " + filed.stamp + "; this one " + record.stamp;
    return "taken " + filed.stamp + " as run " + std::to_string(filed.sequence) +
           " of the watcher's sequence; this one taken " + record.stamp + " as run " + std::to_string(record.sequence);
}

// The latest run of the archive with a file of the record's type code
// taken after it (later is empty when there is none), and when it came.
// False when the archive cannot be read.
bool findLaterImport(const FailedSite& site, const RunRecord& record, std::string& later, std::string& laterWhen) {
    std::vector<std::string> names;
    if (!listFolder(site.archive.get(), names)) return false;
    const RunRecord* latest = nullptr;
    const std::vector<RunFolderEntry> runs = listRunFolders(site.archive.get());
    for (const RunFolderEntry& run : runs) {
        const RunRecord& filed = run.record;
        if (!run.recorded || filed.rule.typeCode != record.rule.typeCode || filed.id == record.id ||
            !cameLater(filed, record)) {
            continue;
        }
        if (latest == nullptr || cameLater(filed, *latest)) {
            latest = &filed;
            later = run.name;
            laterWhen = laterWords(filed, record);
        }
    }
    return true;
}

// The watcher's note of the last committed run of the type code, when it
// came after this run: its words for the refusal, else empty.
std::string laterInNote(const FailedSite& site, const RunRecord& record) {
    std::map<std::string, LastImport> noted;
    const std::string staging = pathIn(site.config.workdir, StagingFolderName);
    const UniqueFd stagingFd(openFolder(AT_FDCWD, staging));
    if (stagingFd.valid()) readLastImportNotes(stagingFd.get(), noted);
    const LastImport& note = noted[record.rule.typeCode];
    const bool bySequence = note.sequence >= 0 && record.sequence >= 0;
    if (bySequence ? note.sequence <= record.sequence : note.wholeStamp.empty() || note.wholeStamp < record.stamp) {
        return "";
    }
    const std::string which = bySequence ? shownName(note.name) + ", run " + std::to_string(note.sequence) +
                                               " of the watcher's sequence; this one run " +
                                               std::to_string(record.sequence)
                                         : "taken " + note.wholeStamp + "; this one " + record.stamp;
    return which + ", as the watcher noted in " + staging + "/" + LastImportsName;
}

// The refusals that --force overrides: the file failed the checks (the
// same bytes would fail again), the run committed (in part) or may
// have, the run was put back already, or a later file of its type code was
// imported since and this older one would bring its data back over the
// newer.
bool mayGoBackUnforced(const FailedSite& site, const Run& run) {
    if (run.record.failedChecks) {
        return refuse(run.given, "it failed the watcher's checks (" + run.record.reason +
                                     "): the same bytes would fail them again; its sender delivers it anew, or "
                                     "--force puts it back");
    }
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
    std::string laterWhen;
    if (!findLaterImport(site, run.record, later, laterWhen)) {
        return refuse(run.given, "the archive " + site.config.archive + " cannot be read: " + strerror(errno));
    }
    // The archive's runs go with retention; the watcher's note does not.
    const std::string which = !later.empty() ? site.config.archive + "/" + shownName(later) + ", " + laterWhen
                                             : laterInNote(site, run.record);
    if (which.empty()) return true;
    return refuse(run.given, "a later " + run.record.rule.typeCode + " file was imported since (" + which +
                                 "): it would bring older data back over newer; --force puts it back anyway");
}

// Opens the file as it was delivered: delivered/ holds it for a UTF-8
// delivery (file/ then holds its conversion); otherwise file/ holds it
// under its import name or, once imported, as its work file, which the
// importer made by renaming it, without changing a byte. -1 when none is
// there; found names the one opened, or the one that failed.
UniqueFd openDelivered(int runFolder, const std::string& name, std::string& found) {
    const std::string inRun = importName(name);
    const std::string candidates[] = {pathIn(DeliveredFolder, inRun), pathIn(FileFolder, inRun),
                                      pathIn(FileFolder, buildWorkPath(inRun))};
    for (const std::string& candidate : candidates) {
        found = candidate;
        UniqueFd fd(openat(runFolder, candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid() || errno != ENOENT) return fd;
    }
    return UniqueFd();
}

// Whether an entry of that name is in the drop folder, whatever it is.
bool inDrop(const FailedSite& site, const std::string& name) {
    return hasEntry(site.drop.get(), name);
}

// Copies the file (in) into the drop folder as name: a flushed copy under
// a hidden name, which the watcher never takes, then a rename that
// replaces nothing, so the watcher sees the file whole or not at all, and
// a file that came meanwhile under that name stays. False with errno.
bool copyIntoDrop(const FailedSite& site, int in, const std::string& hidden, const std::string& name) {
    const int drop = site.drop.get();
    if (!copyDurably(in, drop, hidden)) return false;
    if (renameNoReplace(drop, hidden, drop, name)) return syncFolder(drop);
    const int error = errno;
    unlinkat(drop, hidden.c_str(), 0);
    errno = error;
    return false;
}

// What goes back into the drop folder: the run's file, open (source, its
// path in the run folder), as name, through the hidden name.
struct PutBack {
    UniqueFd in;
    std::string source;
    const std::string& name;
    std::string hidden;
};

// Copies the run's file into the drop folder, and closes it; false with why
// when it cannot.
bool putIntoDrop(const FailedSite& site, PutBack put, std::string& why) {
    const std::string target = pathIn(site.config.drop, shownName(put.name));
    const bool copied = copyIntoDrop(site, put.in.get(), put.hidden, put.name);
    const int error = errno;
    put.in.reset();
    if (copied) return true;
    why = error == EEXIST ? target + " came meanwhile: it stays as it is"
                          : "cannot copy " + put.source + " to " + target + ": " + strerror(error);
    return false;
}

// Puts the delivered file into the drop folder under its delivered name;
// false (refused, named) when it cannot. Source names where it came from.
bool putFileBack(const FailedSite& site, const Run& run, std::string& source) {
    std::string why;
    UniqueFd in = openDelivered(run.fd.get(), run.record.name, source);
    if (!in.valid()) {
        why = errno == ENOENT ? "its delivered file is in neither delivered/ nor file/"
                              : "cannot open " + source + ": " + strerror(errno);
        return refuse(run.given, why);
    }
    return putIntoDrop(site, {std::move(in), source, run.record.name, HiddenPrefix + run.record.id}, why) ||
           refuse(run.given, why);
}

// Puts the marker, which the run keeps in marker/ under its import name,
// into the drop folder under its name as delivered, after the file: a
// marker says that its file is whole, so the file must be there first.
// False with why.
bool putMarkerBack(const FailedSite& site, const Run& run, std::string& why) {
    const std::string source = pathIn(MarkerFolder, importName(run.record.marker));
    UniqueFd in(openat(run.fd.get(), source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) {
        why = "cannot open " + source + ": " + strerror(errno);
        return false;
    }
    return putIntoDrop(site, {std::move(in), source, run.record.marker, HiddenPrefix + run.record.id + MarkerHiddenEnding},
                       why);
}

// Puts the file, then its marker, into the drop folder, and adds a line to
// the run's "requeued" file: the UTC time and the paths in the drop folder.
bool copyBack(const FailedSite& site, const Run& run) {
    const std::string target = pathIn(site.config.drop, shownName(run.record.name));
    std::string source;
    if (!putFileBack(site, run, source)) return false;
    std::string why;
    const bool marked = !run.record.marker.empty();
    const bool markerBack = !marked || putMarkerBack(site, run, why);
    const std::string markerTarget = pathIn(site.config.drop, shownName(run.record.marker));
    const std::string withMarker = marked && markerBack ? ", its marker after it as " + markerTarget : "";
    const bool noted = writeFileDurably(run.fd.get(), RequeuedName,
                                        run.requeued + utcStamp(wallClockNow()) + " " + target + withMarker + "\n");
    if (!noted) {
        diagnoseAt(Severity::Warning, "%s: put back as %s, but its file %s cannot be written: %s", run.given.c_str(),
                   target.c_str(), RequeuedName, strerror(errno));
    }
    if (!markerBack) {
        diagnoseAt(Severity::Warning, "%s: put back as %s, but not its marker: %s; the watcher waits for the marker",
                   run.given.c_str(), target.c_str(), why.c_str());
    }
    if (!noted || !markerBack) return false;
    diagnose("%s: %s %s put back as %s (from %s)%s", run.given.c_str(), shownName(run.record.name).c_str(),
             run.record.rule.typeCode.c_str(), target.c_str(), source.c_str(), withMarker.c_str());
    return true;
}

// The refusal that nothing overrides: the file, or its marker, would
// replace a file of the drop folder (a sender's corrected one, say).
bool dropIsFree(const FailedSite& site, const Run& run) {
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
bool acceptDeletes(const FailedSite& site, const Run& run, UniqueFd& staging) {
    if (!run.record.held) return refuse(run.given, "--accept-deletes: the deletion guard did not hold this run");
    const std::string stagingPath = pathIn(site.config.workdir, StagingFolderName);
    staging.reset(openFolder(AT_FDCWD, stagingPath));
    if (!staging.valid()) return refuse(run.given, "cannot open the staging area " + stagingPath + ": " + strerror(errno));
    std::string source;
    FileDigest digest;
    const UniqueFd in = openDelivered(run.fd.get(), run.record.name, source);
    if (!in.valid() || !digestOpenFile(in.get(), digest)) {
        return refuse(run.given, "cannot read " + source + ": " + strerror(errno));
    }
    if (!writeAcceptance(staging.get(), run.record.name, digest.sha256, run.given)) {
        return refuse(run.given, "cannot write the acceptance into " + stagingPath + ": " + strerror(errno));
    }
    diagnose("%s: its deletions are accepted once for %s with SHA-256 %s", run.given.c_str(),
             shownName(run.record.name).c_str(), digest.sha256.c_str());
    return true;
}

// The run folder, locked and read: its record says it was filed as failed,
// and its "requeued" note. False (refused, named) otherwise.
bool openFailedRun(const FailedSite& site, const char* path, Run& run) {
    run.given = shownName(path);
    run.fd = openRunFolder(site, path, RefusedWords);
    if (!run.fd.valid()) return false;
    if (!lockRun(run.fd.get())) return refuse(run.given, "another process is putting it back");
    if (!readFailedRecord(run.fd.get(), run.given, RefusedWords, run.record)) return false;
    if (!namesStayInDrop(run.given, run.record)) return false;
    if (!readRequeued(run.fd.get(), run.requeued)) {
        return refuse(run.given, std::string("its file ") + RequeuedName + " cannot be read: " + strerror(errno));
    }
    return true;
}

// One run folder named on the command line: checked, then put back. False
// when it was refused or failed (the reason is on standard error). A
// refused or failed put back takes its acceptance back.
bool requeueRun(const FailedSite& site, const char* path, const Options& options) {
    Run run;
    if (!openFailedRun(site, path, run) || !dropIsFree(site, run)) return false;
    if (!options.force && !mayGoBackUnforced(site, run)) return false;
    UniqueFd staging;
    if (options.acceptDeletes && !acceptDeletes(site, run, staging)) return false;
    if (copyBack(site, run)) return true;
    if (options.acceptDeletes) takeAcceptance(staging.get(), run.record.name, "");
    return false;
}

}  // namespace

bool isRequeueCommand(int argc, char** argv) {
    return commandAt(argc, argv, CommandWord) > 0;
}

int runRequeue(int argc, char** argv) {
    Options options;
    int status = 0;
    if (!parseOptions(argc, argv, options, status)) return status;
    FailedSite site;
    if (!openFailedSite(options.config, site)) return ExitUsage;
    bool all = true;
    for (const char* runFolder : options.runFolders) all = requeueRun(site, runFolder, options) && all;
    return all ? 0 : ExitRefused;
}
