// Kelvora_MYSQL: imports one interface file into the RURUVURO database.
//   Kelvora_MYSQL <source file> <type code> [UPD] [/D]
#include <cstdio>
#include <cstdlib>

#include "driver/cmdline.h"
#include "driver/run.h"
#include "driver/exitstatus.h"

int main(int argc, char** argv) {
    int32_t result = parseCommandLine(argc, argv);
    if (result == 0) result = runImport(argc, argv);
    std::exit(exitStatusFor(result));
}
