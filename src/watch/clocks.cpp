#include "watch/clocks.h"

#include <algorithm>

#include "common/diag.h"

namespace {

constexpr const char* StampFormat = "%Y%m%dT%H%M%SZ";
constexpr const char* TextFormat = "%Y-%m-%d %H:%M:%S UTC";
constexpr size_t TextRoom = 32;
constexpr size_t StampLength = 16;
constexpr long long NanosecondsPerSecond = 1000000000LL;

}  // namespace

double monotonicNow() {
    return secondsSinceStart();
}

double bootClockNow() {
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    return static_cast<double>(nanosecondsOf(boot)) / NanosecondsPerSecond;
}

time_t wallClockNow() {
    return time(nullptr);
}

std::string utcStamp(time_t time) {
    struct tm utc {};
    gmtime_r(&time, &utc);
    char text[StampLength + 1];
    strftime(text, sizeof text, StampFormat, &utc);
    return text;
}

std::string utcText(time_t time) {
    struct tm utc {};
    gmtime_r(&time, &utc);
    char text[TextRoom];
    strftime(text, sizeof text, TextFormat, &utc);
    return text;
}

time_t stampTime(const std::string& stamp) {
    struct tm utc {};
    if (stamp.size() != StampLength || strptime(stamp.c_str(), StampFormat, &utc) == nullptr) return -1;
    return timegm(&utc);
}

double secondsSinceWritten(const timespec& modified, const timespec& changed) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    const long long now = nanosecondsOf(wall);
    const long long written = nanosecondsOf(modified) <= now ? std::max(nanosecondsOf(modified), nanosecondsOf(changed))
                                                             : nanosecondsOf(changed);
    return static_cast<double>(now - written) / NanosecondsPerSecond;
}

long long nanosecondsOf(const timespec& time) {
    return static_cast<long long>(time.tv_sec) * NanosecondsPerSecond + time.tv_nsec;
}
