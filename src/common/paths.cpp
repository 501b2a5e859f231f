#include "common/paths.h"

#include <unistd.h>

namespace {

constexpr const char* WorkExtension = ".wrk";

}  // namespace

std::string nativePath(std::string_view windowsPath) {
    std::string path(windowsPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string workingDirectory() {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr ? path : "(unknown)";
}

std::string buildWorkPath(std::string_view sourcePath) {
    size_t lastSeparator = sourcePath.find_last_of("/\\");
    size_t nameStart = lastSeparator == std::string_view::npos ? 0 : lastSeparator + 1;
    size_t dot = sourcePath.rfind('.');
    std::string work(sourcePath);
    if (dot != std::string_view::npos && dot >= nameStart) work.resize(dot);
    work += WorkExtension;
    return work;
}
