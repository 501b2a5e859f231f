// The run report: when the environment variable KELVORA_REPORT names a file,
// every run that reached its work file ends by writing a JSON report there,
// for the programs that call this one unattended (the exit status is the
// last record's result, and standard output is German text). The file is
// written whole: a temporary file beside it, then a rename. Standard output,
// standard error and the exit status stay as they are.
#pragma once
#include <cstdint>

// What the driver knows of the run at its end; the counts and the failed
// records come from import/report.h and import/failures.h.
struct RunFacts {
    const char* typeCode;
    const char* source;
    const char* work;
    const char* ending;   // how the run ended, in words (see writeRunReport)
    bool committed;
    int32_t result;
    int exitStatus;
    double seconds;
};

// Reads KELVORA_REPORT at the start of a run; when it is set, the keys of
// the failed records are kept for the report.
void takeReportSetting();

// Writes the report when KELVORA_REPORT was set; a failure to write it is
// named on standard error.
void writeRunReport(const RunFacts& facts);
