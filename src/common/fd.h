// Descriptors that close themselves. Each open descriptor (or directory
// or file stream) has exactly one owner, which closes it when it goes out of scope
// or is given another; the holders can be moved, never copied, so that no
// two owners close one descriptor and no early return leaks one. Closing
// keeps errno, so that a caller can still report the failure that made it
// give up.
#pragma once
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor held (errno kept) and holds fd instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int error = errno;
            ::close(fd_);
            errno = error;
        }
        fd_ = fd;
    }

    // Closes it now, for a file whose close can report a failed write: true
    // when the close succeeded (or nothing was held).
    bool close() {
        if (fd_ < 0) return true;
        const int fd = release();
        return ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

class UniqueDir {
public:
    UniqueDir() = default;
    explicit UniqueDir(DIR* dir) : dir_(dir) {}
    ~UniqueDir() { reset(); }
    UniqueDir(UniqueDir&& other) noexcept : dir_(other.dir_) { other.dir_ = nullptr; }
    UniqueDir& operator=(UniqueDir&& other) noexcept {
        if (this != &other) {
            reset(other.dir_);
            other.dir_ = nullptr;
        }
        return *this;
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;

    DIR* get() const { return dir_; }
    bool valid() const { return dir_ != nullptr; }

    void reset(DIR* dir = nullptr) {
        if (dir_ != nullptr) {
            const int error = errno;
            closedir(dir_);
            errno = error;
        }
        dir_ = dir;
    }

private:
    DIR* dir_ = nullptr;
};

class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* file) : file_(file) {}
    ~UniqueFile() { reset(); }
    UniqueFile(UniqueFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            reset(other.file_);
            other.file_ = nullptr;
        }
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;

    FILE* get() const { return file_; }
    bool valid() const { return file_ != nullptr; }

    void reset(FILE* file = nullptr) {
        if (file_ != nullptr) {
            const int error = errno;
            fclose(file_);
            errno = error;
        }
        file_ = file;
    }

    // Closes it now: true when what was buffered was written (or nothing
    // was held).
    bool close() {
        if (file_ == nullptr) return true;
        FILE* file = file_;
        file_ = nullptr;
        return fclose(file) == 0;
    }

private:
    FILE* file_ = nullptr;
};
