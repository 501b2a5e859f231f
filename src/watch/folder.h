// Looking at what a folder holds, relative to a folder's descriptor and
// never through a symbolic link, so that no path is looked up twice and a
// sender's link leads nowhere: opening a folder, listing one, telling
// whether a name is still a known file, reading a small file whole.
#pragma once
#include <string>
#include <sys/stat.h>
#include <vector>

// Opens a folder below folder (or a path, with AT_FDCWD) as a descriptor,
// never through a symbolic link; -1 with errno otherwise.
int openFolder(int folder, const std::string& name);

// The names in a folder (without "." and ".."); false (with errno) when it
// cannot be read.
bool listFolder(int folder, std::vector<std::string>& names);

// Whether name in folder is the file described by info (device and inode),
// looked at without following a link.
bool isSameFile(int folder, const std::string& name, const struct stat& info);

// What an entry that is no regular file is, in words: "a symbolic link",
// "a FIFO", "a socket", "a folder", "a device".
const char* entryKind(mode_t mode);

// Whether folder has an entry of that name, whatever it is.
bool hasEntry(int folder, const std::string& name);

// The text of the small file name in folder, never through a link: at most
// most bytes; false (with errno; EFBIG when it is larger) otherwise.
bool readSmallFile(int folder, const std::string& name, size_t most, std::string& text);
