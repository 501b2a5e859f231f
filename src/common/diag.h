// Diagnostics for the operator on standard error. Standard output and the
// exit status belong to the calling scripts and stay exactly as they are;
// standard error says, in plain English, what went wrong and how a run went.
// Every line starts with "Kelvora_MYSQL: " (or the name of the tool that
// runs the same code) and names the thing concerned. When standard error is
// the journal's stream, the journal's priority ("<3>", "<4>", "<6>") comes
// before that, so that the journal can sort the lines; anywhere else the
// lines carry none.
#pragma once

// How much a line matters to the operator: a run that failed or whose
// outcome is unknown; something held, refused or waiting that may need a
// person; what went as it should.
enum class Severity { Error, Warning, Info };

// Writes one diagnostic line (printf format, no line feed needed): the
// first as information, the second with the severity given.
#if defined(__GNUC__)
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));
void diagnoseAt(Severity severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
#else
void diagnose(const char* format, ...);
void diagnoseAt(Severity severity, const char* format, ...);
#endif

// The name that leads every line, for the tools that share the import's
// code; a string that lives as long as the process.
void setDiagnosticProgram(const char* name);

// The progress line of a long run, shown only when standard error is a
// terminal and the run has been working for more than about a second. It is
// rewritten in place and cleared before anything else is written there.
void startProgress(const char* typeCode, long long fileSize);
void showProgress(long records, long long position);
void clearProgress();

// Seconds since the process started (a monotonic clock).
double secondsSinceStart();
