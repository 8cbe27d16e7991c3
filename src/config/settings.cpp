#include "config/settings.h"

#include <windows.h>

#include <mutex>

#include "config/global_values.h"
#include "config/path_macros.h"
#include "util/files.h"
#include "util/private_dir.h"
#include "util/text.h"

using mv::ReduceBackslashes;

std::wstring SettingCacheKey(const std::wstring& section, const std::wstring& key) { return section + key; }

static std::wstring ReadProfile(const std::wstring& file, const std::wstring& section, const std::wstring& key) {
    wchar_t buf[1000] = {};
    GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buf, 1000, file.c_str());
    return buf;
}

std::wstring SettingsFilePath() { return ReduceBackslashes(GetAppDir() + L"\\mirovane.ini"); }

// The last-check stamp and the zipped-list flag belong to this machine's cache, not to the
// shipped settings, so they live in the copy kept in the temporary directory.
static bool InTemporaryCopy(const std::wstring& section, const std::wstring& key) {
    return section == L"Mirovane" && (key == L"OwerCheckTm" || key == L"ListFileZip");
}

static std::wstring TemporaryCopyPath() { return ReduceBackslashes(GetTempDir() + L"\\mirovane.ini"); }

std::wstring ReadSetting(const std::wstring& section, const std::wstring& key) {
    const std::wstring cacheKey = SettingCacheKey(section, key);
    if (auto v = GlobalValues::Find(cacheKey)) return *v;
    std::wstring file = InTemporaryCopy(section, key) ? TemporaryCopyPath() : SettingsFilePath();
    std::wstring value = ReadProfile(file, section, key);
    GlobalValues::Set(cacheKey, value);
    return value;
}

std::wstring ReadSettingOr(const std::wstring& section, const std::wstring& key, const std::wstring& def) {
    std::wstring v = ReadSetting(section, key);
    return v.empty() ? def : v;
}

bool ParseSettingBool(const std::wstring& value) {
    std::wstring v = mv::Trim(mv::ToLower(value));
    for (auto& c : v)
        if (c == L't' || c == L'y') c = L'1';
    return !v.empty() && v[0] == L'1';
}

unsigned long long MaxUnpackedBytes() {
    const long megabytes = mv::ParseLong(ReadSettingOr(L"Mirovane", L"MaxUnpackedMB", L"1024"));
    return static_cast<unsigned long long>(megabytes > 0 ? megabytes : 1024) * 1024 * 1024;
}

bool ReadSettingBool(const std::wstring& section, const std::wstring& key, const std::wstring& def) {
    return ParseSettingBool(ReadSettingOr(section, key, def));
}

std::wstring ReadSettingFrom(const std::wstring& file, const std::wstring& section, const std::wstring& key) {
    std::wstring value = ReadProfile(file, section, key);
    GlobalValues::Set(SettingCacheKey(section, key), value);
    return value;
}

void WriteSetting(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
    // Never offers the elevation prompt: a stale "access denied" left on the thread by an
    // unrelated call must not drop the value or pop up a prompt.
    GlobalValues::Set(SettingCacheKey(section, key), value);
    // The shipped settings file is rewritten at every start, so writes stay in memory; the
    // temporary copy is this machine's own and must keep its stamp for the next run, or
    // every run would look like the first one in days.
    if (InTemporaryCopy(section, key)) {
        const std::wstring file = TemporaryCopyPath();
        mv::CreateDirTree(mv::PathDir(file));
        WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.c_str());
    }
}

// --- directories

std::wstring GetTempDir() {
    if (ReadSettingBool(L"Mirovane", L"TempAppPath", L"0")) return GetAppDir();
    std::wstring temp = ReadSetting(L"Mirovane", L"TempPath");
    if (!temp.empty()) {
        std::wstring p = ExpandPathMacros(temp);
        if (p.find(L':') == std::wstring::npos) p = GetAppDir() + p;
        return ReduceBackslashes(p);
    }
    // An elevated copy reads nothing from the user's own temporary directory.
    if (mv::RunsElevated()) {
        const std::wstring& dir = PrivateDirDecision().first;
        return dir.empty() ? GetAppDir() : dir;
    }
    wchar_t buf[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, buf);
    return buf;
}

const std::pair<std::wstring, std::wstring>& PrivateDirDecision() {
    static const std::pair<std::wstring, std::wstring> decided = [] {
        std::pair<std::wstring, std::wstring> d;
        d.first = mv::PrivateWorkDir(d.second);
        return d;
    }();
    return decided;
}

bool WorkingDirIsTrusted() {
    if (ReadSettingBool(L"Mirovane", L"TempAppPath", L"0") || !mv::RunsElevated()) return true;
    return ReadSetting(L"Mirovane", L"TempPath").empty();
}

std::wstring WorkingDirRefusal() {
    if (!mv::RunsElevated() || ReadSettingBool(L"Mirovane", L"TempAppPath", L"0") || !ReadSetting(L"Mirovane", L"TempPath").empty())
        return {};
    return PrivateDirDecision().second;
}

// --- list cache names

std::wstring ListCacheName(const std::wstring& text) {
    int numbers[10] = {65, 72, 65, 66, 67, 68, 57, 57, 57, 57};  // "AHABCD9999"
    const size_t n = text.size();
    for (int i = 0; i < 10; ++i) {
        if (n == 0) break;
        int d = numbers[i];
        for (size_t j = 0; j < n; ++j)
            d = static_cast<int>((d + text[j] + text[j / 2] + i + static_cast<int>(j)) % 199);
        numbers[i] = d;
    }
    std::wstring out;
    for (int i = 0; i < 10; ++i) {
        out += mv::Format(L"%X", numbers[i] % 16);
        if (i == 3) out += L'-';
    }
    return out;
}

std::wstring ListCachePathFor(const std::wstring& tempDir, const std::wstring& listUrl, const std::wstring& suffix) {
    std::wstring p = ReduceBackslashes(tempDir + L"\\[mirovane]" + suffix);
    return mv::ReplaceAll(p, L"[mirovane]", ListCacheName(listUrl + L"9999999999"));
}

std::wstring PinnedListCopyOf(const std::wstring& cache) { return cache + L".xml"; }
std::wstring ListSourceCopyOf(const std::wstring& cache) { return cache + L".src.xml"; }
std::wstring MainListCopyOf(const std::wstring& cache) { return cache + L".main.xml"; }
