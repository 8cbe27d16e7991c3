#include "check/check_schedule.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

CheckRandom SeedCheckRandom() {
    std::seed_seq seq{static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                      static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                      static_cast<uint32_t>(GetCurrentProcessId()), static_cast<uint32_t>(GetCurrentThreadId())};
    return CheckRandom(seq);
}

long long SpreadOffsetSeconds(long long periodSeconds, CheckRandom& random) {
    if (periodSeconds <= 0) return 0;
    const long long most = std::min(periodSeconds / 10, kMaxSpreadSeconds);
    if (most <= 0) return 0;
    return std::uniform_int_distribution<long long>(0, most)(random);
}

long long BackoffSeconds(long long periodSeconds, int failuresInRow) {
    if (periodSeconds <= 0) return 0;
    if (failuresInRow <= 0) return periodSeconds;
    long long delay = kFirstRetrySeconds;
    // Doubling stops at the period; the loop is bounded because the period is finite.
    for (int i = 1; i < failuresInRow && delay < periodSeconds; ++i) delay *= 2;
    return std::min(delay, periodSeconds);
}

long long FirstCheckDelaySeconds(long long periodSeconds, CheckRandom& random) {
    return SpreadOffsetSeconds(periodSeconds, random);
}

long long NextCheckDelaySeconds(long long periodSeconds, int failuresInRow, CheckRandom& random) {
    return BackoffSeconds(periodSeconds, failuresInRow) + SpreadOffsetSeconds(periodSeconds, random);
}

long long TrayPeriodSeconds(long minutes) {
    if (minutes <= 0) minutes = 5;
    if (minutes >= 60) minutes = 60;
    return static_cast<long long>(minutes) * 60;
}
