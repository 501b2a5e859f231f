#include "common/encoding.h"

#include <cstring>

namespace {

constexpr unsigned char LineFeed = '\n';
constexpr unsigned char ContinuationLow = 0x80;
constexpr unsigned char ContinuationHigh = 0xBF;

// How many bytes a sequence that starts with lead has, or 0 when no
// well-formed sequence starts with it (a continuation byte, the overlong
// leads C0 and C1, and F5 to FF, which would lie above U+10FFFF).
int sequenceLengthOf(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether byte may stand at position index (1 and up) of a sequence that
// began with lead. The second byte's range shuts out overlong forms (after
// E0 and F0), the surrogates (after ED) and what lies above U+10FFFF (after
// F4); every later byte is a plain continuation byte.
bool fitsAt(unsigned char lead, int index, unsigned char byte) {
    unsigned char low = ContinuationLow;
    unsigned char high = ContinuationHigh;
    if (index == 1) {
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    return byte >= low && byte <= high;
}

// A complete sequence: the first one of the file is kept for the message.
void sequenceDone(Utf8Scan& scan) {
    if (scan.firstLine == 0) {
        scan.firstLine = scan.line;
        memcpy(scan.firstSequence, scan.sequence, static_cast<size_t>(scan.sequenceLength));
        scan.firstSequenceLength = scan.sequenceLength;
    }
    scan.sequenceLength = 0;
    scan.sequenceNeeds = 0;
}

// One byte above ASCII, or any byte while a sequence is open.
void scanByte(Utf8Scan& scan, unsigned char byte) {
    if (scan.sequenceNeeds > 0) {
        if (!fitsAt(scan.sequence[0], scan.sequenceLength, byte)) {
            scan.broken = true;
            return;
        }
        scan.sequence[scan.sequenceLength++] = byte;
        if (scan.sequenceLength == scan.sequenceNeeds) sequenceDone(scan);
        return;
    }
    scan.highByteSeen = true;
    scan.sequenceNeeds = sequenceLengthOf(byte);
    if (scan.sequenceNeeds == 0) {
        scan.broken = true;
        return;
    }
    scan.sequence[0] = byte;
    scan.sequenceLength = 1;
}

}  // namespace

void scanUtf8(Utf8Scan& scan, const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count && !scan.broken; ++i) {
        const unsigned char byte = bytes[i];
        if (byte < ContinuationLow && scan.sequenceNeeds == 0) {
            if (byte == LineFeed) scan.line++;
            continue;
        }
        scanByte(scan, byte);
    }
}

bool isUtf8File(const Utf8Scan& scan) {
    return scan.highByteSeen && !scan.broken && scan.sequenceNeeds == 0;
}
