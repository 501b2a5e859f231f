#include "watch/options.h"

#include <cstring>

#include "watch/config.h"

const char* optionValue(int argc, char** argv, int& at, const char* name, bool& missing) {
    const size_t length = strlen(name);
    const char* argument = argv[at];
    if (strncmp(argument, name, length) != 0) return nullptr;
    if (argument[length] == '=') return argument + length + 1;
    if (argument[length] != '\0') return nullptr;
    if (at + 1 >= argc) {
        missing = true;
        return nullptr;
    }
    return argv[++at];
}

int commandAt(int argc, char** argv, const char* word) {
    int at = 1;
    bool missing = false;
    if (at < argc && optionValue(argc, argv, at, ConfigOption, missing) != nullptr) ++at;
    return at < argc && strcmp(argv[at], word) == 0 ? at : 0;
}

const char* configOf(int argc, char** argv) {
    int at = 1;
    bool missing = false;
    const char* config = at < argc ? optionValue(argc, argv, at, ConfigOption, missing) : nullptr;
    return config != nullptr ? config : DefaultConfigPath;
}
