// The command line: banner and usage for a call without enough arguments,
// and the run flags DebugFlag and UpdateMode from the optional arguments.
#pragma once
#include <cstdint>

constexpr int32_t ParameterError = -1;

void printBanner();
void printUsage();

// Checks the arguments and sets the run flags. Returns 0 to go on with the
// run, or ParameterError after printing banner, usage and "Parameterfehler".
// Upper-cases arguments 3 and 4 in place.
int32_t parseCommandLine(int argc, char** argv);
