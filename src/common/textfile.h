// Text-mode reading of input files, the same on every platform: a CR LF pair
// is one newline, a lone CR is data, and a Ctrl-Z byte (0x1A) ends the input.
// Reads are line by line with the capacity rules of fgets.
#pragma once
#include <cstddef>

constexpr int TextFileBufferSize = 1 << 16;

struct TextFile {
    int fd = -1;
    bool ended = false;          // end of file, Ctrl-Z or a read error seen
    int readError = 0;           // errno of a failed read, 0 while none failed
    size_t pos = 0;              // next unread byte in buffer
    size_t len = 0;              // bytes held in buffer
    long long bytesFilled = 0;   // bytes taken from the file into buffer so far
    long long size = 0;          // the file's size when it was opened
    unsigned char buffer[TextFileBufferSize];

    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();
};

// Opens path for reading; false when it cannot be opened or is not a
// regular file (errno then says why: EISDIR for a directory, EINVAL for
// another kind of file).
bool openTextFile(TextFile& file, const char* path);
void closeTextFile(TextFile& file);

// Reads at most capacity - 1 characters into target, stopping after a
// newline; stores the terminator. Returns target, or nullptr when nothing
// could be read (end of input) or when the file could not be read (then
// readError is set and a partly read line is dropped). Needs capacity >= 2.
char* readTextLine(char* target, int capacity, TextFile& file);

// Reads the next line as the record loop takes it: at most recordLength
// characters into target, which has room for recordLength + 1. A read that
// fills target without a newline is a line longer than a record: when only
// its newline is missing from the read (it comes next, or the file ends),
// the record is taken as it stands, the extra character in the newline's
// place, and the newline is read with it; any longer line is one wrong line,
// and its rest is read and dropped. Returns the whole line's length, its
// newline counted (recordLength for a record), or -1 when nothing more can
// be read.
long readRecordLine(TextFile& file, char* target, int recordLength);

// Whether a line read is a newline alone: no record, and no wrong line
// either.
inline bool isLoneNewline(const char* line) {
    return line[0] == '\n' && line[1] == '\0';
}

// True when the next character is a newline or the input ends there;
// consumes nothing.
bool atLineEnd(TextFile& file);

// Reads and discards the rest of the current line, its newline included;
// returns the number of characters discarded.
long skipRestOfLine(TextFile& file);

// How far the reading has come: bytes of the file consumed so far.
long long textFilePosition(const TextFile& file);

// Positions the file at its start again; 0 on success.
int rewindTextFile(TextFile& file);

// Hands the file's bytes from its start up to its first Ctrl-Z (where text
// input ends) to take, piece by piece and as they stand (no CR LF folding),
// then positions the file at its start again. False when the file could not
// be read to that point (readError then says why).
using ByteTaker = void (*)(const unsigned char* bytes, size_t count, void* context);
bool readAllBytes(TextFile& file, ByteTaker take, void* context);

// The same, for a reader that may want to stop part way: take returns
// false to stop; the file is then positioned at its start again, and the
// call returns false with readError ECANCELED.
using ByteReader = bool (*)(const unsigned char* bytes, size_t count, void* context);
bool readBytesWhile(TextFile& file, ByteReader take, void* context);

// Overwrites the bytes read so far with zeros: for files that hold secrets.
void wipeReadBuffer(TextFile& file);
