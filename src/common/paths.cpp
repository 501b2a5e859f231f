#include "common/paths.h"

#include <unistd.h>

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
