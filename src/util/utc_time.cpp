#include "util/utc_time.h"

#include <windows.h>

#include "util/text.h"

namespace {

bool Digits(const std::wstring& s, size_t at, size_t count, int& value) {
    if (at + count > s.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < L'0' || s[i] > L'9') return false;
        value = value * 10 + (s[i] - L'0');
    }
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

bool ParseUtcTime(const std::wstring& text, long long& seconds) {
    const std::wstring s = mv::Trim(text);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != L'-' || !Digits(s, 5, 2, mo) || s[7] != L'-' ||
        !Digits(s, 8, 2, d))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
    size_t pos = 10;
    long long offset = 0;
    if (pos < s.size()) {
        if (s[pos] != L'T' && s[pos] != L't') return false;
        if (!Digits(s, pos + 1, 2, h) || pos + 3 >= s.size() || s[pos + 3] != L':' || !Digits(s, pos + 4, 2, mi))
            return false;
        pos += 6;
        if (pos < s.size() && s[pos] == L':') {
            if (!Digits(s, pos + 1, 2, sec)) return false;
            pos += 3;
            if (pos < s.size() && (s[pos] == L'.' || s[pos] == L',')) {
                ++pos;
                const size_t start = pos;
                while (pos < s.size() && s[pos] >= L'0' && s[pos] <= L'9') ++pos;
                if (pos == start) return false;
            }
        }
        if (h > 23 || mi > 59 || sec > 60) return false;
        if (pos >= s.size()) return false;  // no zone: local time, which a list cannot mean
        if (s[pos] == L'Z' || s[pos] == L'z') {
            ++pos;
        } else if (s[pos] == L'+' || s[pos] == L'-') {
            int oh = 0, om = 0;
            if (!Digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != L':' || !Digits(s, pos + 4, 2, om) ||
                oh > 23 || om > 59)
                return false;
            offset = (s[pos] == L'+' ? 1 : -1) * (oh * 3600LL + om * 60LL);
            pos += 6;
        } else {
            return false;
        }
        if (pos != s.size()) return false;
    }
    seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600LL + mi * 60LL + sec - offset;
    return true;
}

std::wstring FormatUtcTime(long long seconds) {
    long long days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (the inverse of DaysFromCivil).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const long long y = yoe + era * 400 + (m <= 2);
    return mv::Format(L"%04lld-%02d-%02dT%02lld:%02lld:%02lldZ", y, m, d, rest / 3600, rest / 60 % 60, rest % 60);
}

long long NowUtcSeconds() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;  // 1601 to 1970
}
