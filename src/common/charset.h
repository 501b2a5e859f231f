// Text from one character set into another with iconv(3), piece by piece,
// so that a file of any size passes through a small buffer. Used where
// Windows-1252 meets UTF-8: the run report (JSON is UTF-8), the output of a
// run kept for the operator, and a delivered UTF-8 file converted before
// its import.
#pragma once
#include <cstddef>
#include <iconv.h>
#include <string>
#include <string_view>

constexpr const char* Windows1252 = "WINDOWS-1252";
constexpr const char* Utf8 = "UTF-8";
constexpr int MaxSequenceBytes = 8;

// What becomes of input that has no form in the target set (or is not
// valid in the source set): Stop ends the conversion there, Replace puts
// U+FFFD (or "?" when the target is not UTF-8) in its place and goes on
// with the next byte.
enum class Unconvertible { Stop, Replace };

struct CharsetConversion {
    iconv_t handle = reinterpret_cast<iconv_t>(-1);
    Unconvertible mode = Unconvertible::Stop;
    bool sourceIsUtf8 = false;
    bool targetIsUtf8 = false;
    long long consumed = 0;      // input bytes converted so far
    long line = 1;               // the line those bytes have reached
    // A sequence cut off by the end of a piece waits here for the next one.
    unsigned char pending[MaxSequenceBytes] = {};
    size_t pendingLength = 0;
    // Where Stop stopped: the input bytes of the sequence (at most
    // MaxSequenceBytes of them), at offset consumed and on line.
    unsigned char failed[MaxSequenceBytes] = {};
    size_t failedLength = 0;

    CharsetConversion() = default;
    CharsetConversion(const CharsetConversion&) = delete;
    CharsetConversion& operator=(const CharsetConversion&) = delete;
    ~CharsetConversion();
};

// False when iconv has no conversion between the two sets.
bool openConversion(CharsetConversion& conversion, const char* from, const char* to, Unconvertible mode);

// Converts the next piece of input and appends the result to out. False
// when Stop met input it cannot convert (failed, consumed and line say
// where); the conversion is then over.
bool convertPiece(CharsetConversion& conversion, const unsigned char* input, size_t count, std::string& out);

// After the last piece: false when a sequence was cut off by the end of
// the input (under Replace it is replaced and true returned).
bool finishConversion(CharsetConversion& conversion, std::string& out);

// A Windows-1252 text as UTF-8; a byte without a Windows-1252 character
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) becomes U+FFFD.
std::string windows1252ToUtf8(std::string_view text);
