// Writing files whole: every byte of a buffer, and a file that a reader
// finds either as it was or complete (a temporary file, then a rename).
#pragma once
#include <cstddef>
#include <string>

// Writes all count bytes to fd, across short writes; false (with errno) on
// a failed write.
bool writeAll(int fd, const void* bytes, size_t count);

// Writes text to a new temporary file beside path, flushed to the disk,
// then renames it over path. The file gets the mode the umask gives a new
// file. False (with errno) when any step failed; no temporary file is left.
bool writeFileWhole(const std::string& path, const std::string& text);
