// Standard input, output and error for a program that may be started with
// any of them closed (by a careless service manager, a shell's "2>&-"):
// the first file it opened would get the number, and its messages would go
// into that file, whoever may read it.
#pragma once

// Opens each closed standard descriptor to /dev/null. Called first thing
// in main(), before any other file is opened; false when /dev/null cannot
// be opened (the program should end at once then).
bool openClosedStandardDescriptors();
