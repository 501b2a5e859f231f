#include "driver/workfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diag.h"
#include "common/paths.h"

namespace {

// A source that is gone: the operator learns where it was looked for, and
// whether an earlier run left its data in the work file.
void diagnoseMissingSource(const std::string& source, const std::string& work) {
    diagnoseAt(Severity::Error, "source file %s not found (working directory %s)", source.c_str(),
               workingDirectory().c_str());
    struct stat info;
    if (source != work && stat(work.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        diagnoseAt(Severity::Error,
                   "its work file %s is there from an earlier run; to import it again, run the work file's name: "
                   "Kelvora_MYSQL %s <type code>",
                   work.c_str(), work.c_str());
    }
}

// An existing source that is not a plain file (a directory, a device) is
// never moved aside: the run ends as if the source were missing. True when
// the source may be moved; info is then the source's.
bool sourceMayMove(const std::string& source, const std::string& work, struct stat& info) {
    if (stat(source.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            diagnoseMissingSource(source, work);
        } else {
            diagnoseAt(Severity::Error, "source file %s cannot be reached: %s", source.c_str(), strerror(errno));
        }
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        diagnoseAt(Severity::Error, "source %s is not a regular file (%s); nothing is moved", source.c_str(),
                   S_ISDIR(info.st_mode) ? "a directory" : "a device, pipe or socket");
        return false;
    }
    return true;
}

// The source is its own work file under another name (a link to it):
// moving the name over the file would lose the file. It is read where it
// is.
bool isItsOwnWorkFile(const std::string& work, const struct stat& info) {
    struct stat workInfo;
    return stat(work.c_str(), &workInfo) == 0 && workInfo.st_dev == info.st_dev && workInfo.st_ino == info.st_ino;
}

// The folder of a path, for the rename that a check run does not do.
std::string folderOf(const std::string& path) {
    size_t separator = path.find_last_of('/');
    if (separator == std::string::npos) return ".";
    return separator == 0 ? "/" : path.substr(0, separator);
}

}  // namespace

bool sourceWouldMove(const std::string& source, const std::string& work) {
    struct stat info;
    if (!sourceMayMove(source, work, info)) return false;
    if (isItsOwnWorkFile(work, info)) return true;
    const std::string folder = folderOf(source);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        diagnoseAt(Severity::Error, "a run could not move %s to its work file %s: %s", source.c_str(), work.c_str(),
                   strerror(errno));
        return false;
    }
    return true;
}

bool moveToWorkFile(const std::string& source, const std::string& work) {
    struct stat info;
    if (!sourceMayMove(source, work, info)) return false;
    if (isItsOwnWorkFile(work, info)) return true;
    if (rename(source.c_str(), work.c_str()) != 0) {
        diagnoseAt(Severity::Error, "cannot move %s to its work file %s: %s", source.c_str(), work.c_str(),
                   strerror(errno));
        return false;
    }
    return true;
}
