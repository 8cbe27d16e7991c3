#include "download/low_speed.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "config/settings.h"
#include "lang/language.h"
#include "util/text.h"

LowSpeedLimit LowSpeedFromSettings() {
    const long bytes = mv::ParseLong(ReadSettingOr(L"Mirovane", L"LowSpeedLimit", L"1024"));
    const long seconds = mv::ParseLong(ReadSettingOr(L"Mirovane", L"LowSpeedTime", L"60"));
    LowSpeedLimit limit;
    if (bytes > 0 && seconds > 0) {
        limit.bytesPerSecond = static_cast<uint64_t>(bytes);
        limit.seconds = static_cast<uint32_t>(std::min(seconds, 86400L));  // a day: the time-outs stay in range
    }
    return limit;
}

LowSpeedWatch::LowSpeedWatch(LowSpeedLimit limit, uint64_t startMs) : limit_(limit), windowStart_(startMs) {}

bool LowSpeedWatch::Add(uint64_t bytes, uint64_t nowMs) {
    if (tooSlow_ || !limit_.Enabled()) return tooSlow_;
    windowBytes_ += bytes;
    if (windowBytes_ >= limit_.bytesPerSecond * limit_.seconds) {
        windowStart_ = nowMs;
        windowBytes_ = 0;
        return false;
    }
    if (nowMs >= windowStart_ && nowMs - windowStart_ >= static_cast<uint64_t>(limit_.seconds) * 1000) tooSlow_ = true;
    return tooSlow_;
}

uint64_t LowSpeedNowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::wstring LowSpeedText(const LowSpeedLimit& limit) {
    return mv::Format(Translate(L"MAIN", L"Too slow: under %llu bytes per second for %lu seconds").c_str(),
                      static_cast<unsigned long long>(limit.bytesPerSecond), static_cast<unsigned long>(limit.seconds));
}

bool ReadArrived(HINTERNET request, char* buf, DWORD size, DWORD& got) {
    got = 0;
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return false;
    if (available == 0) return true;  // the body has ended
    return InternetReadFile(request, buf, std::min(available, size), &got) != FALSE;
}
