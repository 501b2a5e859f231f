#include "common/paths.h"

std::string nativePath(std::string_view windowsPath) {
    std::string path(windowsPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}
