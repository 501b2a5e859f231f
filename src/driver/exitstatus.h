// The process exit status of a result code. POSIX keeps 8 bits: the status is
// the code's low byte, but a non-zero code whose low byte is 0 gives 255 so
// that no failure reads as success.
#pragma once
#include <cstdint>

int exitStatusFor(int32_t resultCode);
