#include "watch/take.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include "common/diag.h"
#include "watch/checks.h"
#include "watch/clocks.h"
#include "watch/crashpoint.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/lock.h"
#include "watch/names.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/sequence.h"

namespace {

constexpr int DropOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int MaxRunFolderNumber = 1000;

// A drop entry opened to be taken.
struct OpenedEntry {
    const std::string& name;
    int fd;
    const struct stat& info;
};

// The drop entry opened, and where it goes in the run folder.
struct MoveRequest {
    int drop;
    const std::string& name;
    int fd;
    const struct stat& info;
    int folder;
    const std::string& target;
};

// How to let the watcher read what senders write, whatever their umask.
std::string readingHint() {
    const passwd* user = getpwuid(geteuid());
    const std::string name = user != nullptr ? user->pw_name : std::to_string(geteuid());
    return " (the sender's umask keeps the watcher from reading it: chmod g+r the file, and give the drop folder "
           "a default ACL, setfacl -d -m u:" + name + ":r)";
}

// What came into the run folder is not the file that was opened: the
// sender swapped it between the open and the rename. It goes back where it
// came from, unread; when that name is taken again, a non-file is removed
// (it holds no data) and a file stays beside the run's (the caller files it).
bool putBack(const MoveRequest& move) {
    if (renameNoReplace(move.folder, move.target, move.drop, move.name)) {
        return syncFolder(move.drop) && syncFolder(move.folder);
    }
    struct stat info;
    if (fstatat(move.folder, move.target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) {
        return unlinkat(move.folder, move.target.c_str(), 0) == 0;
    }
    return false;
}

// Whether the file is as it was: size, modification and status change time.
bool sameContentTimes(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// A flushed copy from the descriptor, of a file that did not change while
// it was copied; then the drop entry goes while it is still that file. A
// copy that is asked to stop leaves the file where it is (Gone: looked at
// again by the next watcher).
TakeResult copyIntoRun(const MoveRequest& move, std::string& reason, const StopAsked* stop = nullptr) {
    if (!copyDurably(move.fd, move.folder, move.target, stop)) {
        if (errno == ECANCELED) return TakeResult::Gone;
        reason = std::string("cannot copy it into the staging area: ") + strerror(errno);
        return TakeResult::Failed;
    }
    struct stat after;
    if (fstat(move.fd, &after) != 0 || !sameContentTimes(move.info, after)) {
        unlinkat(move.folder, move.target.c_str(), 0);   // it changed while it was copied: taken again once it settles
        syncFolder(move.folder);
        return TakeResult::Gone;
    }
    crashPoint("copied");
    if (!removeCopiedEntry(move.drop, move.name, move.info.st_dev, move.info.st_ino)) {
        const int error = errno;
        unlinkat(move.folder, move.target.c_str(), 0);
        syncFolder(move.folder);
        if (error == ESTALE) return TakeResult::Gone;
        reason = std::string("cannot remove it from the drop folder after copying it: ") + strerror(error);
        return TakeResult::Failed;
    }
    return TakeResult::Taken;
}

// Moves the opened file from the drop folder into the run folder.
TakeResult moveIntoRun(const MoveRequest& move, std::string& reason) {
    if (!isOwnFile(move.info)) return copyIntoRun(move, reason);
    if (!renameNoReplace(move.drop, move.name, move.folder, move.target)) {
        if (errno == EXDEV) return copyIntoRun(move, reason);
        if (errno == ENOENT) return TakeResult::Gone;
        reason = std::string("cannot move it into the staging area: ") + strerror(errno);
        return TakeResult::Failed;
    }
    if (!isSameFile(move.folder, move.target, move.info)) {
        if (putBack(move)) return TakeResult::Gone;
        reason = "it was replaced while it was taken, and what replaced it cannot go back";
        return TakeResult::Failed;
    }
    if (!syncFolder(move.folder) || !syncFolder(move.drop)) {
        reason = std::string("cannot flush the move: ") + strerror(errno);
        return TakeResult::Failed;
    }
    return TakeResult::Taken;
}

// Opens the entry name of the drop folder; on Taken-so-far returns the
// descriptor with its facts in info, else an empty one and the result.
UniqueFd openDropEntry(int drop, const std::string& name, struct stat& info, TakeResult& result, std::string& reason) {
    result = TakeResult::Taken;
    if (fstatat(drop, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        result = TakeResult::Gone;
        return UniqueFd();
    }
    if (!S_ISREG(info.st_mode)) {
        result = TakeResult::NotAFile;
        reason = entryKind(info.st_mode);
        return UniqueFd();
    }
    UniqueFd fd(openat(drop, name.c_str(), DropOpenFlags));
    if (!fd.valid()) {
        result = errno == ENOENT ? TakeResult::Gone : errno == ELOOP ? TakeResult::NotAFile : TakeResult::Failed;
        reason = errno == ELOOP ? "a symbolic link" : std::string("cannot open it: ") + strerror(errno);
        if (errno == EACCES) reason += readingHint();
        return fd;
    }
    const off_t hole = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) ? lseek(fd.get(), 0, SEEK_HOLE) : -2;
    if (hole == -2) {
        result = TakeResult::NotAFile;
        reason = entryKind(info.st_mode);
        fd.reset();
    } else if (hole >= 0 && hole < info.st_size) {
        result = TakeResult::HasHoles;
        reason = "a file with holes: it was never written whole";
        fd.reset();
    }
    return fd;
}

// Whether a process on this machine has the file open for writing, told
// by a read lease: the kernel grants one only while no one does. While the
// lease is held (until releaseWriters), a writer that opens the file waits,
// so the copy is of bytes no one changes. Unknown where leases are not to
// be had (another machine's file system, no CAP_LEASE for another user's
// file): then the settle time alone decides.
enum class Writers { None, Writing, Unknown };

Writers keepWritersOut(int fd, int& error) {
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Writers::None;
    error = errno;
    return error == EAGAIN ? Writers::Writing : Writers::Unknown;
}

void releaseWriters(int fd) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
}

// A file that could not be taken stays in the drop folder, named (once
// for each reason), and is tried again at the next rescan; no later file of
// its type code is taken before it. It needs a person, so the metrics that
// count such files are written at once, not at the next minute's chores.
void leaveInDrop(Watcher& watcher, const std::string& name, const std::string& why) {
    DropFile& file = watcher.queue.files[name];
    if (file.failure != why) {
        diagnoseAt(Severity::Warning, "%s: %s; it stays in %s and is tried again", shownName(name).c_str(), why.c_str(),
                   watcher.config.drop.c_str());
    }
    if (!file.takeFailed) watcher.metricsDue = true;
    file.failure = why;
    file.held = true;
    file.takeFailed = true;
    watcher.failedFiles++;
}

// An entry that could not even be opened as a file to take.
void noteUntaken(Watcher& watcher, const std::string& name, TakeResult result, const struct stat& info,
                 const std::string& reason) {
    if (result == TakeResult::NotAFile && firstSight(watcher.queue, name, info.st_ino)) {
        noteNotAFile(watcher.queue, name, reason);
    }
    if (result == TakeResult::HasHoles) {
        diagnoseAt(Severity::Warning, "%s in %s is %s: it is not taken", shownName(name).c_str(),
                   watcher.config.drop.c_str(), reason.c_str());
        watcher.queue.files[name].held = true;
    }
    if (result == TakeResult::Gone) forgetFile(watcher.queue, name);
    if (result == TakeResult::Failed) leaveInDrop(watcher, name, reason);
}

// A file that a process on this machine still has open for writing is not
// taken: it waits for its close (inotify), or with --once for the next run.
void stillWritten(Watcher& watcher, const std::string& name) {
    DropFile& file = watcher.queue.files[name];
    if (!file.open) {
        diagnose("%s is still open for writing on this machine: it is taken once it is closed%s",
                 shownName(name).c_str(), watcher.once ? " (by the next run)" : "");
    }
    file.open = true;
    file.held = watcher.once;
    file.laterRun = watcher.once;
}

// Where the watcher cannot tell an open writer (no lease to be had), the
// settle time alone decides; said once.
void cannotSeeWriters(Watcher& watcher, int error) {
    if (watcher.leaseUnknownSaid) return;
    watcher.leaseUnknownSaid = true;
    diagnoseAt(Severity::Warning,
               "cannot tell whether a file in %s is still open for writing (%s%s): the settle time alone decides; a "
               "sender on another machine needs a marker file or a transfer name",
               watcher.config.drop.c_str(), strerror(error),
               error == EACCES || error == EPERM ? ", the watcher needs CAP_LEASE" : "");
}

// A delivered file that every user of the machine may read: its records
// (identities with their PINs among them) are open to all until it is
// taken. Named once, with the fix, since every file of the sender is so.
void readableByOthers(Watcher& watcher, const std::string& name, const struct stat& info) {
    if ((info.st_mode & S_IROTH) == 0 || watcher.readableSaid) return;
    watcher.readableSaid = true;
    const char* drop = watcher.config.drop.c_str();
    diagnoseAt(Severity::Warning, "%s in %s can be read by every user of this machine (mode %04o): keep delivered files to the senders' "
             "group (chmod 3770 %s; setfacl -d -m o::--- %s; a sender's umask of 007)",
             shownName(name).c_str(), drop, static_cast<unsigned>(info.st_mode & 07777), drop, drop);
}

// Drops the run folder of a file that went back to (or never left) the drop
// folder.
void dropRun(Watcher& watcher, Job& job) {
    closeRun(job);
    removeTree(watcher.stagingFd.get(), job.folderName);
    syncFolder(watcher.stagingFd.get());
}

// Makes the run folder of a file about to be taken, locked, with its
// subfolder for the file; not flushed: the record Taking written into it
// flushes it, the staging area is flushed after that (prepareRun).
bool makeRun(Watcher& watcher, Job& job, const char* subfolder) {
    const int staging = watcher.stagingFd.get();
    job.folderName = runFolderName(job.record.stamp, job.record.name);
    for (int number = 2; mkdirat(staging, job.folderName.c_str(), RunFolderMode) != 0; ++number) {
        if (errno != EEXIST || number > MaxRunFolderNumber) return false;
        job.folderName = runFolderName(job.record.stamp, job.record.name) + "-" + std::to_string(number);
    }
    setRunPaths(watcher, job);
    job.runFd.reset(openFolder(staging, job.folderName));
    const int run = job.runFd.get();
    if (job.runFd.valid() && fchmod(run, RunFolderMode) == 0 && lockRun(run) &&
        makeFolder(run, FileFolder, RunFolderMode, ExistingFolder::Refuse) &&
        (subfolder == nullptr || makeFolder(run, subfolder, RunFolderMode, ExistingFolder::Refuse))) {
        return true;
    }
    const int error = errno;
    dropRun(watcher, job);
    errno = error;
    return false;
}

// Copies the file's marker into the run folder (it leaves the drop folder
// once the file is taken). False when it is gone (trouble empty: looked at
// again) or cannot be had (trouble says why: the file waits, and its type
// code with it).
bool copyMarker(Watcher& watcher, Job& job, const std::string& marker, std::string& trouble) {
    struct stat info;
    TakeResult result = TakeResult::Taken;
    std::string reason;
    UniqueFd fd = openDropEntry(watcher.dropFd.get(), marker, info, result, reason);
    if (!fd.valid()) {
        if (result != TakeResult::Gone) trouble = "its marker " + shownName(marker) + " cannot be read: " + reason;
        return false;
    }
    const bool made = makeFolder(job.runFd.get(), MarkerFolder, RunFolderMode, ExistingFolder::Refuse);
    UniqueFd folder(made ? openFolder(job.runFd.get(), MarkerFolder) : -1);
    const bool copied = folder.valid() && copyDurably(fd.get(), folder.get(), importName(marker));
    if (!copied) trouble = "its marker " + shownName(marker) + " cannot be copied: " + strerror(errno);
    job.record.marker = marker;
    job.record.markerDevice = info.st_dev;
    job.record.markerInode = info.st_ino;
    return copied;
}

// A new job for the file opened from the drop folder.
Job newJob(const Watcher& watcher, const std::string& name, const FileRule& rule, const struct stat& info) {
    Job job;
    job.record.name = name;
    job.record.id = newRunId();
    job.record.drop = watcher.config.drop;
    job.record.stamp = utcStamp(wallClockNow());
    job.record.rule = rule;
    job.record.dropDevice = info.st_dev;
    job.record.dropInode = info.st_ino;
    job.record.deliveredModified = nanosecondsOf(info.st_mtim);
    job.site = watcher.config;
    return job;
}

// The run folder, locked, the marker in it, the step Taking recorded (which
// flushes the run folder: its subfolders and the record), then the staging
// area flushed, all before the file may leave the drop folder; false (the
// file stays in the drop folder) when that cannot be had.
bool prepareRun(Watcher& watcher, Job& job, const std::string& name, const FileRule& rule) {
    if (!nextSequence(watcher.stagingFd.get(), watcher.sequence, job.record.sequence)) {
        leaveInDrop(watcher, name, std::string("cannot number its run in ") + watcher.staging + "/" +
                                       SequenceFileName + ": " + strerror(errno));
        return false;
    }
    const bool made = makeRun(watcher, job, rule.utf8 ? DeliveredFolder : nullptr);
    std::string markerTrouble;
    if (made && !rule.marker.empty() && !copyMarker(watcher, job, markerNameOf(rule, name), markerTrouble)) {
        dropRun(watcher, job);
        forgetFile(watcher.queue, markerNameOf(rule, name));   // looked at again by the next rescan
        if (!markerTrouble.empty()) leaveInDrop(watcher, name, markerTrouble);
        return false;
    }
    if (made && recordStep(job, Step::Taking) && syncFolder(watcher.stagingFd.get())) return true;
    const std::string why = "cannot make its run folder in " + watcher.staging + ": " + strerror(errno);
    dropRun(watcher, job);
    leaveInDrop(watcher, name, why);
    return false;
}

// What a copy beside the loop works on, copied for its thread.
struct CopyWork {
    int drop;
    std::string name;
    int fd;
    struct stat info;
    int folder;
    std::string target;
};

// The copy beside the loop, into the run folder's descriptor it owns.
void runCopy(const CopyWork& work, CopyOutcome& outcome, const StopAsked& stop) {
    outcome.result =
        copyIntoRun({work.drop, work.name, work.fd, work.info, work.folder, work.target}, outcome.reason, &stop);
    outcome.kept = hasEntry(work.folder, work.target);
    outcome.stopped = outcome.result == TakeResult::Gone && stop.load();
}

// The file into its run folder: a file of the watcher's own is renamed
// there at once; another's is copied beside the loop, and the job waits in
// Phase::Taking (Taken is then not yet true). kept says whether what is
// there now is the file (a move that failed half way still leaves it
// there).
TakeResult moveFileIn(Watcher& watcher, Job& job, const OpenedEntry& opened, std::string& reason, bool& kept) {
    auto outcome = std::make_shared<CopyOutcome>();
    outcome->folder.reset(openFolder(job.runFd.get(), job.record.rule.utf8 ? DeliveredFolder : FileFolder));
    if (!outcome->folder.valid()) {
        kept = false;
        reason = std::string("cannot open its run folder: ") + strerror(errno);
        return TakeResult::Failed;
    }
    const std::string into = importName(opened.name);
    const int folder = outcome->folder.get();
    if (isOwnFile(opened.info)) {
        const TakeResult result =
            moveIntoRun({watcher.dropFd.get(), opened.name, opened.fd, opened.info, folder, into}, reason);
        kept = hasEntry(folder, into);
        return result;
    }
    const CopyWork work = {watcher.dropFd.get(), opened.name, opened.fd, opened.info, folder, into};
    job.copied = outcome;
    job.phase = Phase::Taking;
    job.work = startBackground(watcher.wakeFd.get(),
                               [work, outcome](const StopAsked& stop) { runCopy(work, *outcome, stop); });
    return TakeResult::Copying;
}

// A file that did not come into its run folder: it stays in the drop
// folder (named when it cannot be taken), and the run folder goes.
void takeNothing(Watcher& watcher, Job& job, TakeResult result, const std::string& reason) {
    dropRun(watcher, job);
    if (result == TakeResult::Gone) forgetFile(watcher.queue, job.record.name);
    if (result == TakeResult::Failed) leaveInDrop(watcher, job.record.name, reason);
}

// The file is in its run folder: the job goes on to its checks, or to
// failed/ when the move failed half way. True when it is over. Taken is
// not written: the record says Taking, from which a watcher that starts
// after a crash finds the file in the run folder and goes on as from Taken.
bool goOn(Watcher& watcher, Job& job, TakeResult result, const std::string& reason, double now) {
    if (result == TakeResult::Failed) return fileAsFailed(watcher, job, Committed::No, "not imported: " + reason, now);
    noteStep(job, Step::Taken);
    removeMarkerFromDrop(watcher, job);
    return checkAndStart(watcher, job, now);
}

}  // namespace

bool isOwnFile(const struct stat& info) {
    return info.st_uid == geteuid() && info.st_nlink == 1;
}

bool removeCopiedEntry(int drop, const std::string& name, dev_t device, ino_t inode) {
    struct stat info {};
    info.st_dev = device;
    info.st_ino = inode;
    if (!isSameFile(drop, name, info)) {
        errno = ESTALE;
        return false;
    }
    return unlinkat(drop, name.c_str(), 0) == 0 && syncFolder(drop);
}

void removeMarkerFromDrop(Watcher& watcher, const Job& job) {
    if (job.record.marker.empty()) return;
    removeCopiedEntry(watcher.dropFd.get(), job.record.marker, job.record.markerDevice, job.record.markerInode);
}

bool takeFile(Watcher& watcher, const std::string& name, const FileRule& rule, double now) {
    struct stat info;
    TakeResult result = TakeResult::Taken;
    std::string reason;
    UniqueFd fd = openDropEntry(watcher.dropFd.get(), name, info, result, reason);
    if (!fd.valid()) {
        noteUntaken(watcher, name, result, info, reason);
        return false;
    }
    int leaseError = 0;
    const Writers writers = keepWritersOut(fd.get(), leaseError);
    if (writers == Writers::Writing) {
        stillWritten(watcher, name);
        return false;
    }
    if (writers == Writers::Unknown) cannotSeeWriters(watcher, leaseError);
    readableByOthers(watcher, name, info);
    Job job = newJob(watcher, name, rule, info);
    if (!prepareRun(watcher, job, name, rule)) return false;
    bool kept = false;
    result = moveFileIn(watcher, job, {name, fd.get(), info}, reason, kept);
    job.leased = writers == Writers::None;
    if (result == TakeResult::Copying) {
        job.taking = std::move(fd);
        watcher.jobs.push_back(std::move(job));
        return true;
    }
    if (job.leased) releaseWriters(fd.get());
    fd.reset();
    if (result == TakeResult::Gone || (result == TakeResult::Failed && !kept)) {
        takeNothing(watcher, job, result, reason);
        return false;
    }
    forgetFile(watcher.queue, name);
    if (!job.record.marker.empty()) forgetFile(watcher.queue, job.record.marker);
    watcher.jobs.push_back(std::move(job));
    if (goOn(watcher, watcher.jobs.back(), result, reason, now)) watcher.jobs.pop_back();
    return true;
}

bool afterCopy(Watcher& watcher, Job& job, double now) {
    const std::shared_ptr<CopyOutcome> outcome = std::move(job.copied);
    if (job.leased) releaseWriters(job.taking.get());
    job.taking.reset();
    job.phase = Phase::Running;   // until a step says otherwise
    if (outcome->stopped) {
        diagnose("%s %s: stopped while it was copied into the staging area; the copy is dropped, the file stays in "
                 "%s, and the next start takes it", shownName(job.record.name).c_str(),
                 job.record.rule.typeCode.c_str(), watcher.config.drop.c_str());
    }
    if (outcome->result == TakeResult::Gone || (outcome->result == TakeResult::Failed && !outcome->kept)) {
        takeNothing(watcher, job, outcome->result, outcome->reason);
        return true;
    }
    forgetFile(watcher.queue, job.record.name);
    if (!job.record.marker.empty()) forgetFile(watcher.queue, job.record.marker);
    return goOn(watcher, job, outcome->result, outcome->reason, now);
}
