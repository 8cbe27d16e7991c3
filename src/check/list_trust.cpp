#include "check/list_trust.h"

#include <cwctype>

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

std::wstring GuidKey(const std::wstring& guid) {
    std::wstring g = mv::ToLower(mv::Trim(guid));
    if (g.size() >= 2 && g.front() == L'{' && g.back() == L'}') g = g.substr(1, g.size() - 2);
    return g;
}

}  // namespace

std::wstring SignatureUrlOf(const std::wstring& listUrl) {
    const size_t query = listUrl.find(L'?');
    if (query == std::wstring::npos) return listUrl + L".sig";
    return listUrl.substr(0, query) + L".sig" + listUrl.substr(query);
}

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

bool ParseSequence(const std::wstring& text, long long& sequence) {
    const std::wstring s = mv::Trim(text);
    if (s.empty() || s.size() > 18) return false;
    long long v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9') return false;
        v = v * 10 + (c - L'0');
    }
    if (v <= 0) return false;
    sequence = v;
    return true;
}

std::wstring ListTrustProblem(const ListTrustValues& values, const ListTrustInput& in, long long& sequence) {
    sequence = 0;
    if (!values.hasSequence || !ParseSequence(values.sequence, sequence)) {
        sequence = 0;
        return L"the list has no usable sequence [" + values.sequence + L"]";
    }
    if (sequence < in.installedSequence)
        return mv::Format(L"the list is older than the installed release (sequence %lld, installed %lld)", sequence,
                          in.installedSequence);
    if (values.hasExpires) {
        long long expires = 0;
        if (!ParseUtcTime(values.expires, expires)) return L"the list's expiry [" + values.expires + L"] is not a UTC time";
        if (expires <= in.now) return L"the list expired on " + mv::Trim(values.expires);
    }
    if (!mv::Trim(in.expectedGuid).empty() && GuidKey(values.guid) != GuidKey(in.expectedGuid))
        return L"the list belongs to another product (guid [" + mv::Trim(values.guid) + L"], expected [" +
               mv::Trim(in.expectedGuid) + L"])";
    return {};
}

std::wstring FileHashProblem(const updatefileinfo& record, bool signedList) {
    if (record.action & (RunTaskRecord | DescriptionRecord)) return {};
    const std::wstring hash = mv::Trim(record.sha256);
    if (hash.empty()) {
        if (!signedList || (record.action & ActionRemove)) return {};
        return L"file [" + record.path + L"] has no sha256 in a signed list and is refused";
    }
    bool hex = hash.size() == 64;
    for (wchar_t c : hash) hex = hex && std::iswxdigit(c);
    if (!hex) return L"file [" + record.path + L"] has a sha256 that is not 64 hexadecimal digits and is refused";
    return {};
}
