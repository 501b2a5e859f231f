// Paths arrive in the Windows form the callers and the settings location use.
#pragma once
#include <string>
#include <string_view>

// The path to hand to the file system: every backslash is a directory
// separator, so "..\\..\\Files\\Corvantis.Ini" opens ../../Files/Corvantis.Ini.
std::string nativePath(std::string_view windowsPath);

// The working directory, for messages that name a relative path.
std::string workingDirectory();

// The work file of a source: the source path without the extension of its
// last component, plus ".wrk". A dot in a directory name does not count.
std::string buildWorkPath(std::string_view sourcePath);
