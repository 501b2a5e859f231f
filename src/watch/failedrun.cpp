#include "watch/failedrun.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>

#include "common/diag.h"
#include "watch/folder.h"
#include "watch/names.h"

namespace {

// Whether two descriptors are the same folder: the paths the operator
// types and those of the configuration may differ by links and dots.
bool sameFolder(int folder, int other) {
    struct stat one;
    struct stat two;
    return fstat(folder, &one) == 0 && fstat(other, &two) == 0 && one.st_dev == two.st_dev &&
           one.st_ino == two.st_ino;
}

}  // namespace

bool refuseRun(const std::string& given, const char* notDone, const std::string& why) {
    diagnoseAt(Severity::Warning, "%s: %s: %s", given.c_str(), notDone, why.c_str());
    return false;
}

// Reads the configuration and opens the three folders the command works
// in; each one that cannot be opened is named.
bool openFailedSite(const char* path, FailedSite& site) {
    if (!readConfig(path, site.config)) return false;
    const std::pair<const std::string*, UniqueFd*> folders[] = {
        {&site.config.drop, &site.drop}, {&site.config.archive, &site.archive}, {&site.config.failed, &site.failed}};
    bool opened = true;
    for (const auto& folder : folders) {
        folder.second->reset(open(folder.first->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.second->valid()) continue;
        diagnoseAt(Severity::Error, "cannot open %s: %s (%s)", folder.first->c_str(), strerror(errno), site.config.path.c_str());
        opened = false;
    }
    return opened;
}

// Opens the run folder named on the command line when it is one of the
// failed folder (-1 otherwise, with the refusal named): a run folder of
// the archive was imported, and one anywhere else is no filed run.
UniqueFd openRunFolder(const FailedSite& site, const char* given, const char* notDone) {
    char resolved[PATH_MAX];
    if (realpath(given, resolved) == nullptr) {
        refuseRun(shownName(given), notDone, strerror(errno));
        return UniqueFd();
    }
    const std::string path = resolved;
    const size_t slash = path.rfind('/');
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const UniqueFd parent(open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const bool inArchive = parent.valid() && sameFolder(parent.get(), site.archive.get());
    const bool inFailed =
        parent.valid() && sameFolder(parent.get(), site.failed.get()) && !name.empty() && name[0] != '.';
    UniqueFd runFolder(inFailed ? openFolder(parent.get(), name) : -1);
    const int error = errno;
    if (inArchive) {
        refuseRun(shownName(given), notDone, "it is a run folder of the archive " + site.config.archive +
                                     ": its file was imported; only a run of " + site.config.failed + " goes back");
    } else if (!inFailed) {
        refuseRun(shownName(given), notDone, "it is not a run folder of the failed folder " + site.config.failed);
    } else if (!runFolder.valid()) {
        refuseRun(shownName(given), notDone, strerror(error));
    }
    return runFolder;
}

// The run's record, which must say that the run was filed into failed/.
bool readFailedRecord(int runFolder, const std::string& given, const char* notDone, RunRecord& record) {
    if (!readRunRecord(runFolder, record)) return refuseRun(given, notDone, std::string("its record ") + RunRecordName +
                                                                    " cannot be read");
    if (record.step != Step::Filing || record.archived) {
        return refuseRun(given, notDone, std::string("its record ") + RunRecordName + " does not say it was filed as failed");
    }
    return true;
}

