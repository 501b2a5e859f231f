// Diagnostics for the operator on standard error. Standard output and the
// exit status belong to the calling scripts and stay exactly as they are;
// standard error says, in plain English, what went wrong and how a run went.
// Every line starts with "Kelvora_MYSQL: " and names the thing concerned.
#pragma once

// The program's name in front of every line ("Kelvora_MYSQL: " unless a
// program sets its own).
void setDiagnosticPrefix(const char* prefix);

// Writes one diagnostic line (printf format, no line feed needed).
#if defined(__GNUC__)
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void diagnose(const char* format, ...);
#endif

// The progress line of a long run, shown only when standard error is a
// terminal and the run has been working for more than about a second. It is
// rewritten in place and cleared before anything else is written there.
void startProgress(const char* typeCode, long long fileSize);
void showProgress(long records, long long position);
void clearProgress();

// Seconds since the process started (a monotonic clock).
double secondsSinceStart();
