// The command line of kelvora-watch and its commands (status, requeue):
// one way to read an option's value, "--name VALUE" or "--name=VALUE", and
// to find the command's word, first or right after --config FILE.
#pragma once

// The value of the option name at argv[at], or null when argv[at] is not
// that option (missing is set when it is, but its value is not there). at
// moves past a separate value.
const char* optionValue(int argc, char** argv, int& at, const char* name, bool& missing);

// The place of the command's word: 1, or after --config FILE; 0 when the
// command line does not name that command.
int commandAt(int argc, char** argv, const char* word);

// The configuration that --config names before a command's word, or the
// default.
const char* configOf(int argc, char** argv);

constexpr const char* ConfigOption = "--config";
