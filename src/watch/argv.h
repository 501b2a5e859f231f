// The null-terminated arrays of pointers that execve(2) takes, over texts
// that outlive the call.
#pragma once
#include <string>
#include <vector>

inline std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}
