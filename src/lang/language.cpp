#include "lang/language.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "config/settings.h"
#include "resources/resource_ids.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// A line is read as at most this many bytes, so a longer one comes out as several lines.
constexpr size_t kMaxLineBytes = 1023;

std::wstring WindowText(HWND window) {
    int len = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), len + 1)));
    return text;
}

}  // namespace

namespace {

// The conversions of a printf format, one token each: "*" per argument taken by a width or
// precision, the length modifier and the conversion character. A "%" that starts no valid
// conversion gives a token of its own, so it never matches a real one.
std::vector<std::wstring> FormatConversions(std::wstring_view f) {
    std::vector<std::wstring> out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != L'%') continue;
        if (i + 1 < f.size() && f[i + 1] == L'%') {
            ++i;
            continue;
        }
        std::wstring token;
        size_t j = i + 1;
        while (j < f.size() && wcschr(L"-+ #0'", f[j]) && f[j]) ++j;
        for (int part = 0; part < 2; ++part) {  // width, then precision
            if (part == 1) {
                if (j >= f.size() || f[j] != L'.') break;
                ++j;
            }
            if (j < f.size() && f[j] == L'*') {
                token += L'*';
                ++j;
            } else {
                while (j < f.size() && iswdigit(f[j])) ++j;
            }
        }
        static const wchar_t* const kLengths[] = {L"I64", L"I32", L"hh", L"ll", L"h", L"l", L"L", L"q", L"j", L"z", L"t", L"I", L"w"};
        for (const wchar_t* len : kLengths) {
            const size_t n = wcslen(len);
            if (f.substr(j, n) == len) {
                token += len;
                j += n;
                break;
            }
        }
        if (j < f.size() && wcschr(L"diouxXeEfFgGaAcCsSpn", f[j]) && f[j]) {
            token += f[j];
            i = j;
        } else {
            token = L"?" + token;  // incomplete or unknown
            i = j > i + 1 ? j - 1 : i;
        }
        out.push_back(token);
    }
    return out;
}

}  // namespace

bool SameFormatConversions(std::wstring_view key, std::wstring_view translation) {
    return FormatConversions(key) == FormatConversions(translation);
}

unsigned LanguageResourceCodePage(int resourceNumber) {
    switch (resourceNumber) {
        case MV_RES_LANG_SIMPLIFIED: return 936;
        case MV_RES_LANG_TRADITIONAL: return 950;
        default: return 0;
    }
}

void CLanguage::ParseLine(const std::wstring& raw, std::optional<std::wstring>& section, bool fromFile) {
    const std::wstring line = mv::TrimRight(raw);
    if (line.empty()) return;
    if (line[0] == L';' || line[0] == L'\'') return;
    if (line.compare(0, 2, L"//") == 0 || line.compare(0, 2, L"\\\\") == 0) return;
    if (line.size() <= 3) return;
    if (line.front() == L'[' && line.back() == L']') {
        section = line.substr(1, line.size() - 2);
        sections_[*section];
        return;
    }
    if (!section) return;
    const std::wstring entry = mv::ReplaceAll(mv::ReplaceAll(line, L"\\t", L"\t"), L"\\n", L"\n");
    const size_t eq = entry.find(L'=');
    if (eq == std::wstring::npos) return;
    sections_[*section][entry.substr(0, eq)] = entry.substr(eq + 1);
    if (fromFile) fileEntries_[*section][entry.substr(0, eq)] = entry.substr(eq + 1);
}

void CLanguage::LoadLanguageText(std::string_view bytes, unsigned codePage, bool fromFile) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::optional<std::wstring> section;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t take = std::min(kMaxLineBytes, bytes.size() - pos);
        const size_t lf = bytes.substr(pos, take).find('\n');
        if (lf != std::string_view::npos) take = lf + 1;
        std::string_view chunk = bytes.substr(pos, take);
        pos += take;
        chunk = chunk.substr(0, chunk.find('\0'));  // a zero byte ends the text of a line
        while (!chunk.empty() && (chunk.back() == '\n' || chunk.back() == '\r')) chunk.remove_suffix(1);
        ParseLine(mv::FromCodePage(chunk, codePage), section, fromFile);
    }
}

bool CLanguage::LoadLanguageResource(int resourceNumber) {
    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceNumber), L"LANGUAGE");
    HGLOBAL data = res ? LoadResource(nullptr, res) : nullptr;
    const char* bytes = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    if (bytes) {
        unsigned codePage = LanguageResourceCodePage(resourceNumber);
        LoadLanguageText(std::string_view(bytes, SizeofResource(nullptr, res)), codePage ? codePage : CP_ACP);
    }
    return true;
}

bool CLanguage::LoadLanguageFile(const std::wstring& path) {
    std::string bytes;
    if (!mv::ReadFileBytes(path, bytes)) return false;
    LoadLanguageText(bytes, CP_ACP, true);
    return true;
}

std::wstring CLanguage::Translate(const std::wstring& section, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto sec = sections_.find(section);
    if (sec == sections_.end()) return text;
    // A missing key is remembered with an empty translation, which still means "English".
    const std::wstring& found = sec->second[text];
    return found.empty() || !SameFormatConversions(text, found) ? text : found;
}

std::optional<std::wstring> CLanguage::FileTranslation(const std::wstring& section, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto sec = fileEntries_.find(section);
    if (sec == fileEntries_.end()) return std::nullopt;
    auto found = sec->second.find(text);
    if (found == sec->second.end() || found->second.empty() || !SameFormatConversions(text, found->second))
        return std::nullopt;
    return found->second;
}

void CLanguage::TranslateDialog(HWND window, const std::wstring& section) {
    if (section.empty() || !IsWindow(window)) return;
    SetWindowTextW(window, Translate(section, WindowText(window)).c_str());
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        SetWindowTextW(child, Translate(section, WindowText(child)).c_str());
}

CLanguage& TheLanguage() {
    static CLanguage lang;
    return lang;
}

std::wstring Translate(const std::wstring& section, const std::wstring& text) {
    return TheLanguage().Translate(section, text);
}

std::wstring BoxCaptionFrom(const std::optional<std::wstring>& fileTranslation, const std::wstring& name,
                            const std::wstring& builtIn) {
    if (fileTranslation && !mv::Trim(*fileTranslation).empty()) return *fileTranslation;
    const std::wstring trimmed = mv::Trim(name);
    return trimmed.empty() ? builtIn : trimmed;
}

std::wstring BoxCaption() {
    return BoxCaptionFrom(TheLanguage().FileTranslation(L"MAIN", L"Mirovane"), ReadSetting(L"APPLICATION", L"Name"),
                          Translate(L"MAIN", L"Mirovane"));
}
