// The first failed records of a run, kept for the run report: the line, the
// error, the server's text and the record's key. The key is read back from
// the work file once the record loop is over, and only when a report is
// written, so that a run without one does no more than it always did.
#pragma once
#include <cstddef>
#include <cstdint>

#include "import/member.h"

struct TextFile;

constexpr int KeptFailedRecords = 20;
constexpr size_t FailureTextSize = 512;
constexpr size_t FailureKeySize = MaxKeyFields * (MaxFieldWidth + 3) + 1;

struct FailedRecord {
    long line = 0;
    int32_t code = 0;
    char text[FailureTextSize] = "";   // the server's text, Windows-1252
    char key[FailureKeySize] = "";     // the record's key fields, Windows-1252
};

// A record failed (its statement was refused, or it ended the transaction);
// the first ones are kept.
void keepFailedRecord(long line, int32_t code, const char* serverText);

int keptFailedRecordCount();
const FailedRecord& keptFailedRecord(int index);

// Asks for the keys of the kept records (a run report is written).
void wantFailureKeys();

// Reads the work file again from its start, as the record loop read it, up
// to the line of the last kept record, and fills in each kept record's key:
// its member's key fields, or else its failure field, or else its first
// field, joined by " / ". Does nothing unless the keys are wanted.
void readFailureKeys(const ImportMember& member, TextFile& workFile, int32_t recordLength);
