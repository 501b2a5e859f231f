#include "common/charset.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t StagingBytes = 4096;
constexpr size_t OutputBytes = 4096;
constexpr const char* ReplacementUtf8 = "\xEF\xBF\xBD";   // U+FFFD
constexpr const char* ReplacementOther = "?";
const iconv_t NoHandle = reinterpret_cast<iconv_t>(-1);

enum class Step { Done, Incomplete, Unconvertible };

// Runs iconv over the bytes and appends what it gives; used is the number
// of input bytes converted before it stopped.
Step runIconv(CharsetConversion& conversion, const unsigned char* bytes, size_t length, size_t& used,
              std::string& out) {
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    size_t inLeft = length;
    Step step = Step::Done;
    while (inLeft > 0) {
        char buffer[OutputBytes];
        char* outAt = buffer;
        size_t outLeft = sizeof buffer;
        size_t result = iconv(conversion.handle, &in, &inLeft, &outAt, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (result != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        step = errno == EINVAL ? Step::Incomplete : Step::Unconvertible;
        break;
    }
    used = length - inLeft;
    return step;
}

// Counts converted input, and the lines it ends.
void advance(CharsetConversion& conversion, const unsigned char* bytes, size_t count) {
    conversion.consumed += static_cast<long long>(count);
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') conversion.line++;
    }
}

// The bytes of the sequence at which the conversion stopped: for UTF-8
// input its lead byte says how many, for any other input it is one byte.
void noteFailure(CharsetConversion& conversion, const unsigned char* bytes, size_t available) {
    size_t length = 1;
    if (conversion.sourceIsUtf8) {
        if (bytes[0] >= 0xC0 && bytes[0] <= 0xDF) length = 2;
        if (bytes[0] >= 0xE0 && bytes[0] <= 0xEF) length = 3;
        if (bytes[0] >= 0xF0 && bytes[0] <= 0xF7) length = 4;
    }
    if (length > available) length = available;
    memcpy(conversion.failed, bytes, length);
    conversion.failedLength = length;
}

const char* replacementFor(const CharsetConversion& conversion) {
    return conversion.targetIsUtf8 ? ReplacementUtf8 : ReplacementOther;
}

// Converts bytes that begin with the pending ones of the piece before. A
// sequence cut off at their end waits in pending for the next piece.
bool convertStaged(CharsetConversion& conversion, const unsigned char* bytes, size_t length, std::string& out) {
    size_t start = 0;
    while (start < length) {
        size_t used = 0;
        Step step = runIconv(conversion, bytes + start, length - start, used, out);
        advance(conversion, bytes + start, used);
        start += used;
        if (step == Step::Done) return true;
        const size_t rest = length - start;
        if (step == Step::Incomplete && rest <= MaxSequenceBytes) {
            memcpy(conversion.pending, bytes + start, rest);
            conversion.pendingLength = rest;
            return true;
        }
        if (conversion.mode == Unconvertible::Stop) {
            noteFailure(conversion, bytes + start, rest);
            return false;
        }
        out += replacementFor(conversion);
        advance(conversion, bytes + start, 1);
        start++;
    }
    return true;
}

}  // namespace

CharsetConversion::~CharsetConversion() {
    if (handle != NoHandle) iconv_close(handle);
}

bool openConversion(CharsetConversion& conversion, const char* from, const char* to, Unconvertible mode) {
    conversion.handle = iconv_open(to, from);
    conversion.mode = mode;
    conversion.sourceIsUtf8 = strcmp(from, Utf8) == 0;
    conversion.targetIsUtf8 = strcmp(to, Utf8) == 0;
    return conversion.handle != NoHandle;
}

bool convertPiece(CharsetConversion& conversion, const unsigned char* input, size_t count, std::string& out) {
    size_t at = 0;
    while (at < count) {
        unsigned char staging[MaxSequenceBytes + StagingBytes];
        const size_t take = count - at < StagingBytes ? count - at : StagingBytes;
        memcpy(staging, conversion.pending, conversion.pendingLength);
        memcpy(staging + conversion.pendingLength, input + at, take);
        const size_t length = conversion.pendingLength + take;
        conversion.pendingLength = 0;
        at += take;
        if (!convertStaged(conversion, staging, length, out)) return false;
    }
    return true;
}

bool finishConversion(CharsetConversion& conversion, std::string& out) {
    if (conversion.pendingLength > 0) {
        if (conversion.mode == Unconvertible::Stop) {
            noteFailure(conversion, conversion.pending, conversion.pendingLength);
            return false;
        }
        out += replacementFor(conversion);
        conversion.pendingLength = 0;
    }
    char buffer[OutputBytes];
    char* outAt = buffer;
    size_t outLeft = sizeof buffer;
    iconv(conversion.handle, nullptr, nullptr, &outAt, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    return true;
}

std::string windows1252ToUtf8(std::string_view text) {
    CharsetConversion conversion;
    if (!openConversion(conversion, Windows1252, Utf8, Unconvertible::Replace)) return std::string(text);
    std::string out;
    convertPiece(conversion, reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
    finishConversion(conversion, out);
    return out;
}
