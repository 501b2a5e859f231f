// Fuzz target: the text-mode line reader and the field cutting of every
// member's record layout, as the record loop drives them, without a
// database.
//
// The input's first byte steers the run. With its high bit clear the rest
// of the input is the work file, read with every capacity and cut with
// every member. With it set, the data is preceded by filler lines that fill
// the reader's buffer up to the last few bytes (the low four bits), so that
// lines, CR LF pairs and Ctrl-Z bytes fall across a refill; reading that
// much is slow under the sanitizers, so then the second byte picks one
// capacity and one member, and the data follows it.
//
// Checks beyond the sanitizers: the lines the reader gives, read with any
// capacity, add up to the file as text mode defines it (CR LF as one
// newline, nothing from the first Ctrl-Z on); no line is longer than its
// capacity allows; a rewind starts the same lines again; and every cut field
// is a prefix of its slice of the line, no longer than its width.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "import/members.h"
#include "import/recordcut.h"
#include "import/recordloop.h"
#include "common/textfile.h"

namespace {

constexpr unsigned char CtrlZ = 0x1A;
constexpr unsigned char SteerBoundary = 0x80;
constexpr unsigned char SteerOffsetMask = 0x0F;
constexpr int LargestCapacity = RecordBufferSize;
constexpr size_t FillerLineLength = 100;

// Line capacities tried besides the record lengths.
constexpr int ExtraCapacities[] = {2, 3, 17, LargestCapacity};
constexpr int ExtraCapacityCount = sizeof ExtraCapacities / sizeof ExtraCapacities[0];

char WorkPath[] = "/tmp/kelvora-fuzz-records-XXXXXX";
int WorkFd = -1;

// Stops the run with a message: libFuzzer saves the input that caused it.
[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_records: %s\n", what);
    abort();
}

void removeWorkFile() {
    unlink(WorkPath);
}

// Replaces the work file's content.
void writeWorkFile(const std::string& bytes) {
    if (ftruncate(WorkFd, 0) != 0) fail("ftruncate");
    if (!bytes.empty() && pwrite(WorkFd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        fail("pwrite");
    }
}

// The file as text mode delivers it: CR LF becomes one newline, a Ctrl-Z
// ends the input.
std::string textModeView(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == CtrlZ) break;
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += static_cast<char>(c);
    }
    return text;
}

// Reads the whole file with one capacity and holds the lines against the
// text-mode view. Embedded zero bytes hide a line's true length from its
// reader, so the comparison is made only for data without them.
void checkLineReads(int capacity, const std::string& expected, bool comparable) {
    TextFile file;
    if (!openTextFile(file, WorkPath)) fail("cannot open the work file");
    static char line[LargestCapacity + 1];
    std::string seen;
    std::string first;
    bool firstRead = false;
    while (readTextLine(line, capacity, file) != nullptr) {
        size_t length = strlen(line);
        if (length > static_cast<size_t>(capacity - 1)) fail("line longer than its capacity");
        if (!firstRead) {
            first.assign(line, length);
            firstRead = true;
        }
        seen.append(line, length);
    }
    if (comparable && seen != expected) fail("lines differ from the text-mode view of the file");
    if (rewindTextFile(file) != 0) fail("rewind failed");
    bool again = readTextLine(line, capacity, file) != nullptr;
    if (again != firstRead || (again && first != line)) fail("rewind does not start the same lines again");
}

// True when field is a prefix of the width bytes at line + offset.
bool isPrefixOfSlice(const char* field, const char* line, const FieldSpec& place) {
    size_t length = strlen(field);
    return length <= static_cast<size_t>(place.width) && memcmp(field, line + place.offset, length) == 0;
}

// The record loop's reading and cutting for one member: its record kind
// chosen as the loop chooses it, lone newlines passed over, lines of the
// wrong length skipped, the others cut into a row.
void cutWithMember(const ImportMember& member) {
    TextFile file;
    if (!openTextFile(file, WorkPath)) fail("cannot open the work file");
    RecordKind kind = member.chooseRecordKind ? member.chooseRecordKind(file) : member.recordKind;
    const int32_t length = RecordLengthTable[kind];
    static RecordRow row;
    while (readTextLine(RecordBuffer, length + 1, file) != nullptr) {
        if (RecordBuffer[0] == '\n' && RecordBuffer[1] == '\0') continue;
        if (static_cast<int32_t>(strlen(RecordBuffer)) != length) continue;
        cutRecordFields(member, RecordBuffer, length, row);
        for (int i = 0; i < member.fieldCount; ++i) {
            const FieldSpec& place = member.layout[i];
            if (!isPrefixOfSlice(row[place.target], RecordBuffer, place)) fail("cut field is not its slice");
        }
    }
}

// Filler that brings the data to the end of the reader's buffer: lines of
// blanks-free text, so that reading it takes few calls.
std::string fillerBefore(unsigned char steer) {
    size_t length = TextFileBufferSize - (steer & SteerOffsetMask);
    std::string filler(length, 'x');
    for (size_t i = FillerLineLength - 1; i < length; i += FillerLineLength) filler[i] = '\n';
    return filler;
}

// The line capacity that a selection byte picks: one of the extra ones or
// a member's record length.
int capacityOf(unsigned char selection) {
    int index = selection % (ExtraCapacityCount + MemberCount);
    if (index < ExtraCapacityCount) return ExtraCapacities[index];
    return RecordLengthTable[AllMembers[index - ExtraCapacityCount]->recordKind] + 1;
}

void checkAll(const std::string& bytes) {
    writeWorkFile(bytes);
    std::string expected = textModeView(bytes);
    bool comparable = memchr(expected.data(), '\0', expected.size()) == nullptr;
    for (int capacity : ExtraCapacities) checkLineReads(capacity, expected, comparable);
    for (const ImportMember* member : AllMembers) {
        checkLineReads(RecordLengthTable[member->recordKind] + 1, expected, comparable);
        cutWithMember(*member);
    }
}

void checkAtBoundary(unsigned char steer, unsigned char selection, const uint8_t* data, size_t size) {
    std::string bytes = fillerBefore(steer);
    bytes.append(reinterpret_cast<const char*>(data), size);
    writeWorkFile(bytes);
    std::string expected = textModeView(bytes);
    bool comparable = memchr(expected.data(), '\0', expected.size()) == nullptr;
    checkLineReads(capacityOf(selection), expected, comparable);
    cutWithMember(*AllMembers[selection % MemberCount]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    WorkFd = mkstemp(WorkPath);
    if (WorkFd < 0) fail("mkstemp");
    atexit(removeWorkFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    unsigned char steer = data[0];
    if ((steer & SteerBoundary) == 0) {
        checkAll(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    } else if (size >= 2) {
        checkAtBoundary(steer, data[1], data + 2, size - 2);
    }
    return 0;
}
