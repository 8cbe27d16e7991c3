#include "ui/tray_rules.h"

#include <cwchar>
#include <cwctype>

namespace tray {

int CheckIntervalMinutes(const std::wstring& setting) {
    const wchar_t* s = setting.c_str();
    while (iswspace(*s)) ++s;
    wchar_t* end = nullptr;
    const long v = wcstol(s, &end, 10);
    if (end == s || v <= 0) return 5;
    return v >= 60 ? 60 : static_cast<int>(v);
}

std::wstring TipText(const std::wstring& name, const std::wstring& status) {
    constexpr size_t kTipChars = 127;  // NOTIFYICONDATA::szTip holds 128 with its terminator
    std::wstring tip = name.empty() ? std::wstring(L"Update Center") : L"[" + name + L"]\n" + status;
    if (tip.size() > kTipChars) tip.resize(kTipChars);
    return tip;
}

int CountdownLeft(int total, unsigned long long elapsedMs) {
    const unsigned long long totalMs = static_cast<unsigned long long>(total > 0 ? total : 0) * 1000ull;
    if (elapsedMs >= totalMs) return 0;
    return static_cast<int>((totalMs - elapsedMs + 999) / 1000);
}

int CountdownSeconds(const std::wstring& setting) {
    const wchar_t* s = setting.c_str();
    while (iswspace(*s)) ++s;
    wchar_t* end = nullptr;
    const long v = wcstol(s, &end, 10);
    if (end == s) return kDefaultCountdownSeconds;
    if (v < kMinCountdownSeconds) return kMinCountdownSeconds;
    return v > kMaxCountdownSeconds ? kMaxCountdownSeconds : static_cast<int>(v);
}

namespace {
long long PeriodSeconds(const std::wstring& checkTmSpan) { return TrayPeriodSeconds(CheckIntervalMinutes(checkTmSpan)); }
}  // namespace

long long FirstCheckDelay(const std::wstring& checkTmSpan, CheckRandom& random) {
    return FirstCheckDelaySeconds(PeriodSeconds(checkTmSpan), random);
}

long long NextCheckDelay(const std::wstring& checkTmSpan, int failuresInRow, CheckRandom& random) {
    return NextCheckDelaySeconds(PeriodSeconds(checkTmSpan), failuresInRow, random);
}

int FailuresAfterCheck(int failuresInRow, bool succeeded) {
    if (succeeded) return 0;
    // Past a few doublings the back-off sits at the period; the count need not grow further.
    return failuresInRow < 30 ? failuresInRow + 1 : failuresInRow;
}

}  // namespace tray
