// Interface files are Windows-1252: one byte a character. A file written in
// UTF-8 instead would be stored garbled (an umlaut becomes two characters and
// shifts every later field of its line), and lines that grow too long would
// be rejected, so that a sync deletes their rows. Such a file is told apart by
// its bytes: at least one lies above ASCII, and every byte above ASCII belongs
// to a well-formed UTF-8 sequence. Genuine Windows-1252 text practically never
// passes that test ("ä" is 0xE4 followed by a letter, which is not UTF-8).
#pragma once
#include <cstddef>

constexpr int MaxUtf8SequenceLength = 4;

// The state of a scan over a file's bytes, fed in pieces of any size.
struct Utf8Scan {
    bool highByteSeen = false;     // a byte above 0x7F
    bool broken = false;           // a byte above 0x7F outside well-formed UTF-8
    long line = 1;                 // the line being scanned, from 1
    long firstLine = 0;            // the line of the first UTF-8 sequence, 0 while none
    unsigned char firstSequence[MaxUtf8SequenceLength] = {};
    int firstSequenceLength = 0;
    // The sequence being read: its bytes so far and how many it needs.
    unsigned char sequence[MaxUtf8SequenceLength] = {};
    int sequenceLength = 0;
    int sequenceNeeds = 0;
};

// Feeds the next bytes of the file (the caller stops at a Ctrl-Z, where the
// input ends). Once a byte is found that is not UTF-8 the rest is skipped.
void scanUtf8(Utf8Scan& scan, const unsigned char* bytes, size_t count);

// After the last byte: whether the file is UTF-8 by the test above (a
// sequence cut off by the end of the file is not well-formed).
bool isUtf8File(const Utf8Scan& scan);
