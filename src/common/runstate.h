// Process-wide state of one import run. Created at start, never freed before
// exit; every part of the program reads or writes these directly.
#pragma once
#include <cstdint>

constexpr int ServerDateSize = 16;    // eight digits YYYYMMDD, with room to spare
constexpr int DbSystemNameSize = 41;  // 40 characters and the terminator

extern int DebugFlag;            // "/D": echo every record, print debug-only messages
extern int UpdateMode;           // "UPD": keep existing rows where the member supports it
extern int32_t LastResultCode;   // result of the last step; becomes the exit status
extern char ServerDate[ServerDateSize];
extern char DbSystemName[DbSystemNameSize];
extern int WindowRecords;        // records per statement window; 0: the import's default
extern long MaxFailedRecords;    // more failed records than this: nothing committed; -1: no limit
