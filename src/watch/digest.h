// What a delivered file holds, as a marker file or the run journal names
// it: its size, its lines (line feeds) and its SHA-256, in one pass.
#pragma once
#include <atomic>
#include <string>

struct FileDigest {
    long long bytes = 0;
    long long lines = 0;
    std::string sha256;   // 64 lower-case hexadecimal digits
};

// Reads the file at path; false (with errno) when it cannot be read whole,
// or (ECANCELED) when stop asks it to stop part way.
bool digestFile(const std::string& path, FileDigest& digest, const std::atomic<bool>* stop = nullptr);

// The same for an open file, read from where it stands to its end.
bool digestOpenFile(int fd, FileDigest& digest);

// A digest taken beside the loop: read, or why not.
struct DigestRead {
    bool read = false;
    int error = 0;
    FileDigest digest;
};

// The SHA-256 of a text, as 64 lower-case hexadecimal digits; empty when
// the library fails.
std::string sha256Of(const std::string& bytes);
