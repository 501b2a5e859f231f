#include "common/textfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned char CtrlZ = 0x1A;
constexpr unsigned char CarriageReturn = '\r';
constexpr unsigned char LineFeed = '\n';
constexpr int NoByte = -1;

// Reads more of the file into the buffer behind its first keep bytes;
// false at the end of the data or on a read error (both end the input, as a
// read error ends a record loop).
bool readBehind(TextFile& file, size_t keep) {
    ssize_t got;
    do {
        got = read(file.fd, file.buffer + keep, sizeof file.buffer - keep);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        if (got < 0) file.readError = errno;
        file.ended = true;
        return false;
    }
    file.len = keep + static_cast<size_t>(got);
    file.bytesFilled += got;
    return true;
}

// Refills the buffer when it is used up; false when nothing more comes.
bool fillBuffer(TextFile& file) {
    if (file.pos < file.len) return true;
    if (file.ended) return false;
    file.pos = file.len = 0;
    return readBehind(file, 0);
}

// Moves the unread bytes to the front of the buffer and reads more behind
// them, so that a character can be looked at together with the one after
// it. False when no byte follows the unread ones.
bool keepAndFill(TextFile& file) {
    size_t unread = file.len - file.pos;
    if (unread >= 2) return true;
    if (file.ended) return false;
    memmove(file.buffer, file.buffer + file.pos, unread);
    file.pos = 0;
    file.len = unread;
    return readBehind(file, unread);
}

// The next raw byte without consuming it, or NoByte at the end of the input.
// A Ctrl-Z ends the input for good: neither it nor anything after it is read.
int peekByte(TextFile& file) {
    if (!fillBuffer(file)) return NoByte;
    unsigned char c = file.buffer[file.pos];
    if (c == CtrlZ) {
        file.ended = true;
        file.pos = file.len = 0;
        return NoByte;
    }
    return c;
}

// The next character as text mode delivers it: CR LF becomes one newline.
int nextTextChar(TextFile& file) {
    int c = peekByte(file);
    if (c == NoByte) return NoByte;
    file.pos++;
    if (c == CarriageReturn && peekByte(file) == LineFeed) {
        file.pos++;
        return LineFeed;
    }
    return c;
}

// Copies the bytes at the front of the buffer that text mode passes on as
// they are (anything but a newline, a carriage return or a Ctrl-Z), at most
// room of them, in one piece; returns how many. The special bytes are left
// for nextTextChar. Without this a record line cost a function call per byte.
size_t copyPlainBytes(TextFile& file, char* target, size_t room) {
    const unsigned char* start = file.buffer + file.pos;
    size_t count = file.len - file.pos < room ? file.len - file.pos : room;
    for (unsigned char special : {LineFeed, CarriageReturn, CtrlZ}) {
        const void* found = memchr(start, special, count);
        if (found != nullptr) count = static_cast<size_t>(static_cast<const unsigned char*>(found) - start);
    }
    memcpy(target, start, count);
    file.pos += count;
    return count;
}

}  // namespace

TextFile::~TextFile() {
    closeTextFile(*this);
}

bool openTextFile(TextFile& file, const char* path) {
    closeTextFile(file);
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        int reason = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = reason;
        return false;
    }
    file.fd = fd;
    file.size = static_cast<long long>(info.st_size);
    file.ended = false;
    file.readError = 0;
    file.pos = file.len = 0;
    file.bytesFilled = 0;
    return true;
}

void closeTextFile(TextFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    file.ended = true;
    file.pos = file.len = 0;
}

char* readTextLine(char* target, int capacity, TextFile& file) {
    if (capacity < 2 || file.fd < 0) return nullptr;
    int count = 0;
    const int errorBefore = file.readError;
    while (count < capacity - 1) {
        if (fillBuffer(file)) {
            size_t room = static_cast<size_t>(capacity - 1 - count);
            count += static_cast<int>(copyPlainBytes(file, target + count, room));
            if (count == capacity - 1) break;
        }
        int c = nextTextChar(file);
        if (c == NoByte) break;
        target[count++] = static_cast<char>(c);
        if (c == LineFeed) break;
    }
    if (count == 0 || file.readError != errorBefore) return nullptr;
    target[count] = '\0';
    return target;
}

long readRecordLine(TextFile& file, char* target, int recordLength) {
    if (readTextLine(target, recordLength + 1, file) == nullptr) return -1;
    const long length = static_cast<long>(strlen(target));
    if (length != recordLength || target[recordLength - 1] == LineFeed) return length;
    if (atLineEnd(file)) {
        skipRestOfLine(file);
        return recordLength;
    }
    return recordLength + skipRestOfLine(file);
}

bool atLineEnd(TextFile& file) {
    int c = peekByte(file);
    if (c == NoByte || c == LineFeed) return true;
    if (c != CarriageReturn) return false;
    // A CR LF pair is the newline; its LF may still lie in the file.
    if (!keepAndFill(file)) return false;
    return file.len - file.pos >= 2 && file.buffer[file.pos + 1] == LineFeed;
}

long skipRestOfLine(TextFile& file) {
    long count = 0;
    for (;;) {
        int c = nextTextChar(file);
        if (c == NoByte) return count;
        count++;
        if (c == LineFeed) return count;
    }
}

long long textFilePosition(const TextFile& file) {
    return file.bytesFilled - static_cast<long long>(file.len - file.pos);
}

int rewindTextFile(TextFile& file) {
    if (file.fd < 0) return -1;
    if (lseek(file.fd, 0, SEEK_SET) != 0) return -1;
    file.ended = false;
    file.pos = file.len = 0;
    file.bytesFilled = 0;
    return 0;
}

bool readBytesWhile(TextFile& file, ByteReader take, void* context) {
    if (rewindTextFile(file) != 0) return false;
    while (fillBuffer(file)) {
        const unsigned char* start = file.buffer + file.pos;
        const size_t count = file.len - file.pos;
        const void* end = memchr(start, CtrlZ, count);
        const size_t taken = end != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(end) - start) : count;
        file.pos = file.len;
        if (!take(start, taken, context)) {
            rewindTextFile(file);
            file.readError = ECANCELED;
            return false;
        }
        if (end != nullptr) break;
    }
    if (file.readError != 0) return false;
    return rewindTextFile(file) == 0;
}

namespace {

struct EveryByte {
    ByteTaker take;
    void* context;
};

bool takeEveryByte(const unsigned char* bytes, size_t count, void* context) {
    const EveryByte& every = *static_cast<const EveryByte*>(context);
    every.take(bytes, count, every.context);
    return true;
}

}  // namespace

bool readAllBytes(TextFile& file, ByteTaker take, void* context) {
    EveryByte every{take, context};
    return readBytesWhile(file, takeEveryByte, &every);
}

void wipeReadBuffer(TextFile& file) {
    volatile unsigned char* p = file.buffer;
    for (size_t i = 0; i < sizeof file.buffer; ++i) p[i] = 0;
    file.pos = file.len = 0;
}
