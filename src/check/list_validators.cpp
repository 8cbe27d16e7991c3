#include "check/list_validators.h"

#include <cstdlib>

#include "util/text.h"

namespace {

bool Printable(const std::wstring& s) {
    for (wchar_t c : s)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

uint64_t ParseU64(const std::string& s) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 20) return 0;
    return std::strtoull(s.c_str(), nullptr, 10);
}

}  // namespace

bool ValidatorUsable(const std::wstring& value) {
    return !value.empty() && value.size() <= kMaxValidatorChars && Printable(value);
}

std::wstring ValidatorsFileOf(const std::wstring& copyPath) { return copyPath + L".meta"; }

std::string FormatValidators(const ListValidators& v) {
    std::string out;
    auto line = [&out](const char* key, const std::string& value) { out += std::string(key) + "=" + value + "\n"; };
    if (Printable(v.url)) line("url", mv::ToUtf8(v.url));
    if (ValidatorUsable(v.etag)) line("etag", mv::ToUtf8(v.etag));
    if (ValidatorUsable(v.lastModified)) line("last-modified", mv::ToUtf8(v.lastModified));
    line("zipped", v.zipped ? "1" : "0");
    line("size", std::to_string(v.size));
    line("hash", std::to_string(v.hash));
    line("zip-missing-day", std::to_string(v.zipMissingDay > 0 ? v.zipMissingDay : 0));
    return out;
}

ListValidators ParseValidators(std::string_view text) {
    ListValidators v;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        const std::wstring wide = mv::FromUtf8(value);
        if (key == "url" && Printable(wide))
            v.url = wide;
        else if (key == "etag" && ValidatorUsable(wide))
            v.etag = wide;
        else if (key == "last-modified" && ValidatorUsable(wide))
            v.lastModified = wide;
        else if (key == "zipped")
            v.zipped = value == "1";
        else if (key == "size")
            v.size = ParseU64(value);
        else if (key == "hash")
            v.hash = ParseU64(value);
        else if (key == "zip-missing-day")
            v.zipMissingDay = static_cast<long long>(ParseU64(value) & 0x7FFFFFFF);
    }
    return v;
}

std::wstring ConditionalHeaders(const ListValidators& v, const std::wstring& url, bool zipped) {
    if (v.url.empty() || v.url != url || v.zipped != zipped) return {};
    std::wstring out;
    if (ValidatorUsable(v.etag)) out += L"If-None-Match: " + v.etag + L"\r\n";
    if (ValidatorUsable(v.lastModified)) out += L"If-Modified-Since: " + v.lastModified + L"\r\n";
    return out;
}

long long DayStampFromUnixSeconds(long long unixSeconds) {
    constexpr long long k2011 = 1293840000;  // 2011-01-01T00:00:00Z
    if (unixSeconds < k2011) return 0;
    return (unixSeconds - k2011) / 86400 + 1;
}

bool ZippedFormFirst(const ListValidators& v, const std::wstring& url) { return v.url == url && v.zipped; }

bool ZippedFormWorthTrying(const ListValidators& v, const std::wstring& url, long long today) {
    return !(v.url == url && v.zipMissingDay != 0 && v.zipMissingDay == today);
}

uint64_t ContentHash(std::string_view bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}
