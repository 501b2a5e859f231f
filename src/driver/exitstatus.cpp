#include "driver/exitstatus.h"

namespace {
constexpr int LowByteMask = 0xFF;
constexpr int FailureWithoutLowByte = 255;
}

int exitStatusFor(int32_t resultCode) {
    int status = static_cast<int>(static_cast<uint32_t>(resultCode) & LowByteMask);
    if (resultCode != 0 && status == 0) return FailureWithoutLowByte;
    return status;
}
