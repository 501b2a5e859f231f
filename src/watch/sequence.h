// The run sequence: each file taken gets the next number, which no later
// run of the staging area ever gets again, whatever the wall clock says.
// Run order questions (which of two runs of a type code came later) are
// asked of it, not of the time stamps. The numbers are handed out from
// blocks that are reserved in the staging area (.sequence) before any of
// them is used, so a crash loses at most the rest of a block, never hands
// a number out twice, and costs one flushed write per block.
#pragma once
#include <string>

constexpr const char* SequenceFileName = ".sequence";

struct SequenceBlock {
    long long next = 0;   // the next number to hand out
    long long end = 0;    // the first number past the block
};

// The next number into number; false with errno when no block can be
// reserved (the staging area cannot be written).
bool nextSequence(int staging, SequenceBlock& block, long long& number);
