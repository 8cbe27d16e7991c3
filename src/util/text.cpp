#include "util/text.h"

#include <windows.h>

#include <cstdarg>
#include <cwctype>

namespace mv {

std::wstring ToLower(std::wstring_view s) {
    std::wstring r(s);
    if (!r.empty()) CharLowerBuffW(r.data(), static_cast<DWORD>(r.size()));
    return r;
}

static bool IsSpace(wchar_t c) { return std::iswspace(c) != 0; }

std::wstring Trim(std::wstring_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return std::wstring(s.substr(b, e - b));
}

std::wstring TrimRight(std::wstring_view s) {
    size_t e = s.size();
    while (e > 0 && IsSpace(s[e - 1])) --e;
    return std::wstring(s.substr(0, e));
}

std::wstring ReplaceAll(std::wstring_view s, std::wstring_view from, std::wstring_view to) {
    if (from.empty()) return std::wstring(s);
    std::wstring r;
    r.reserve(s.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = s.find(from, pos);
        if (hit == std::wstring_view::npos) break;
        r.append(s.substr(pos, hit - pos));
        r.append(to);
        pos = hit + from.size();
    }
    r.append(s.substr(pos));
    return r;
}

std::wstring RemoveAll(std::wstring_view s, std::wstring_view what) { return ReplaceAll(s, what, L""); }

std::wstring ReduceBackslashes(std::wstring_view s) { return ReplaceAll(s, L"\\\\", L"\\"); }

std::vector<std::wstring> Split(std::wstring_view s, wchar_t sep) {
    std::vector<std::wstring> out;
    size_t pos = 0;
    for (;;) {
        size_t hit = s.find(sep, pos);
        out.emplace_back(s.substr(pos, hit == std::wstring_view::npos ? std::wstring_view::npos : hit - pos));
        if (hit == std::wstring_view::npos) break;
        pos = hit + 1;
    }
    return out;
}

bool EndsWithNoCase(std::wstring_view s, std::wstring_view suffix) {
    const std::wstring marker = L"*#06#";
    std::wstring hay = ToLower(s) + marker;
    std::wstring needle = ToLower(suffix) + marker;
    size_t pos = hay.find(needle);
    return pos != std::wstring::npos && pos > 0;
}

long ParseLong(std::wstring_view s) {
    std::wstring t(s);
    return wcstol(t.c_str(), nullptr, 10);
}

std::wstring Format(const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = _vscwprintf(fmt, ap);
    va_end(ap);
    std::wstring r;
    if (n > 0) {
        r.resize(static_cast<size_t>(n) + 1);
        _vsnwprintf(r.data(), r.size(), fmt, ap2);
        r.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return r;
}

std::wstring FromCodePage(std::string_view bytes, unsigned codePage) {
    if (bytes.empty()) return {};
    int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring r(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), r.data(), n);
    return r;
}

std::string ToCodePage(std::wstring_view text, unsigned codePage) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string r(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), r.data(), n, nullptr, nullptr);
    return r;
}

std::wstring FromUtf8(std::string_view bytes) { return FromCodePage(bytes, CP_UTF8); }
std::string ToUtf8(std::wstring_view text) { return ToCodePage(text, CP_UTF8); }

}  // namespace mv
