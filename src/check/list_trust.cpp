#include "check/list_trust.h"

#include <cwctype>

#include "util/text.h"

namespace {

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
