#include "install/dotnet.h"

#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <mutex>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/system_library.h"
#include "util/text.h"

namespace {

constexpr const wchar_t* kVersionTexts[kDotNetVersionCount] = {L"1.0", L"1.1", L"2.0", L"3.0",
                                                               L"3.5", L"4.0", L"4.5"};
constexpr const wchar_t* kFolderPrefixes[kDotNetVersionCount] = {L"v1.0", L"v1.1", L"v2.0", L"v3.0",
                                                                 L"v3.5", L"v4.0", L"v4.5"};
constexpr int kDotNet45 = 6;

std::mutex g_flagsMutex;
DotNetFlags g_flags{};
DotNetDialogRunner g_dialogRunner = nullptr;

std::optional<DWORD> ReadDotNet4Release() {
    HKEY raw = nullptr;
    // The native view: a 32-bit process would otherwise read the redirected (empty) one.
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full", 0,
                                  KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    mv::RegKey key(raw);
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key.get(), L"Release", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return std::nullopt;
    return value;
}

bool SignatureVerifies(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    using Verify = LONG(WINAPI*)(HWND, GUID*, LPVOID);
    const auto verify = mv::SystemFunctionAs<Verify>(L"wintrust.dll", "WinVerifyTrust");
    if (!verify) {
        WriteLog(mv::Format(L"WinVerifyTrust is not available (%lu): %s", GetLastError(), path.c_str()));
        return false;
    }
    const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (status != ERROR_SUCCESS)
        WriteLog(mv::Format(L"WinVerifyTrust failed (0x%08lX): %s", static_cast<unsigned long>(status), path.c_str()));
    return status == ERROR_SUCCESS;
}

}  // namespace

int DotNetVersionIndex(const std::wstring& version) {
    static const struct {
        const wchar_t* text;
        int index;
    } kTexts[] = {{L"1.0", 0}, {L"1.1", 1}, {L"2", 2},   {L"2.0", 2}, {L"3", 3},
                  {L"3.0", 3}, {L"3.5", 4}, {L"4", 5},   {L"4.0", 5}, {L"4.5", 6}};
    for (const auto& t : kTexts)
        if (version == t.text) return t.index;
    return -1;
}

void MarkDotNetFolder(const std::wstring& dirName, DotNetFlags& flags) {
    for (int i = 0; i < kDotNetVersionCount; ++i)
        if (dirName.rfind(kFolderPrefixes[i], 0) == 0) flags[static_cast<size_t>(i)] = true;
}

DotNetFlags DetectDotNetIn(const std::wstring& windowsDir, std::optional<DWORD> release) {
    DotNetFlags flags{};
    const std::wstring pattern = mv::ReduceBackslashes(windowsDir + L"\\Microsoft.NET\\Framework\\*.*");
    WIN32_FIND_DATAW fd;
    mv::FindHandle find(FindFirstFileW(pattern.c_str(), &fd));
    if (find) {
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) MarkDotNetFolder(fd.cFileName, flags);
        } while (FindNextFileW(find.get(), &fd));
    }
    if (release && *release >= kDotNet45Release) flags[kDotNet45] = true;
    return flags;
}

std::wstring RequiredDotNetVersionFrom(const std::function<std::wstring(const wchar_t* key)>& read) {
    static const struct {
        const wchar_t* key;
        const wchar_t* version;
    } kSwitches[] = {{L"dotnetfx10", L"1.0"}, {L"dotnetfx11", L"1.1"}, {L"dotnetfx20", L"2.0"},
                     {L"dotnetfx30", L"3.0"}, {L"dotnetfx35", L"3.5"}, {L"dotnetfx40", L"4.0"}};
    for (const auto& s : kSwitches)
        if (!read(s.key).empty()) return s.version;
    for (const wchar_t* key : {L"DotNetFix", L"DotNetFx", L"dotnetfix", L"dotnetfx"}) {
        std::wstring v = read(key);
        if (!v.empty()) return v;
    }
    return L"";
}

std::wstring DotNetVersionCode(const std::wstring& version) {
    return (mv::RemoveAll(version, L".") + L"0000").substr(0, 2);
}

std::wstring DotNetVersionFromCode(const std::wstring& code) {
    if (code.empty()) return code;
    return code.substr(0, 1) + L"." + code.substr(1);
}

std::wstring DotNetInstallerAddress(const std::wstring& code, const std::wstring& configured,
                                    const std::wstring& server) {
    if (!configured.empty()) return configured;
    static const wchar_t* kCodes[] = {L"10", L"11", L"20", L"30", L"35", L"40", L"45"};
    if (server.empty()) return L"";
    for (const wchar_t* c : kCodes) {
        if (code != c) continue;
        std::wstring base = server;
        while (!base.empty() && base.back() == L'/') base.pop_back();
        return base + L"/dotnetfx/dotnetfx" + code + L".exe";
    }
    return L"";
}

std::wstring DotNetInstallerPath(const std::wstring& tempDir, const std::wstring& url) {
    std::wstring u = mv::ReplaceAll(url, L"\\", L"/");
    const size_t cut = u.find_first_of(L"?#");
    if (cut != std::wstring::npos) u.erase(cut);
    const size_t slash = u.rfind(L'/');
    std::wstring name = slash == std::wstring::npos ? u : u.substr(slash + 1);
    if (name.empty() || name == L"." || name == L".." || name.find(L':') != std::wstring::npos) return L"";
    return mv::ReduceBackslashes(tempDir + L"\\" + name);
}

bool IsHttpsAddress(const std::wstring& url) { return mv::ToLower(url).rfind(L"https://", 0) == 0; }

void DetectDotNetVersions() {
    wchar_t dir[MAX_PATH] = {};
    const UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        WriteLog(mv::Format(L"GetWindowsDirectory failed (%lu)", GetLastError()));
        return;
    }
    const DotNetFlags found = DetectDotNetIn(dir, ReadDotNet4Release());
    std::lock_guard<std::mutex> hold(g_flagsMutex);
    for (int i = 0; i < kDotNetVersionCount; ++i)
        if (found[static_cast<size_t>(i)]) g_flags[static_cast<size_t>(i)] = true;
}

bool DotNetInstalled(int index) {
    if (index < 0 || index >= kDotNetVersionCount) return false;
    std::lock_guard<std::mutex> hold(g_flagsMutex);
    return g_flags[static_cast<size_t>(index)];
}

std::wstring RequiredDotNetVersion() {
    return RequiredDotNetVersionFrom([](const wchar_t* key) { return ReadSetting(L"Mirovane", key); });
}

bool IsDotNetMissing(const std::wstring& version) {
    const int index = DotNetVersionIndex(version);
    return index >= 0 && !DotNetInstalled(index);
}

void CheckDotNetAtStartup() {
    const std::wstring version = RequiredDotNetVersion();
    if (version.empty()) return;
    DetectDotNetVersions();
    if (IsDotNetMissing(version)) OfferDotNetInstall(nullptr, version);
}

void RegisterDotNetDialog(DotNetDialogRunner runner) { g_dialogRunner = runner; }

void OfferDotNetInstall(HWND owner, const std::wstring& version) {
    const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
    const std::wstring code = DotNetVersionCode(version);
    const std::wstring text = mv::ReplaceAll(
        Translate(L"MAIN", L"You must install .Net Framework 1.0 to run main application."), L"1.0", version);
    const std::wstring url = DotNetInstallerAddress(code, ReadSetting(L"APPLICATION", L"dotnetfx" + code),
                                                    ReadSetting(L"Mirovane", L"DotNetServer"));
    WriteLog(mv::Format(Translate(L"MAIN", L".NET Framework %s is missing; installer [%s]").c_str(), version.c_str(), url.c_str()));
    if (!url.empty() && g_dialogRunner) {
        g_dialogRunner(owner, url, DotNetVersionFromCode(code));
        return;
    }
    PromptUser(owner, text, name, MB_ICONEXCLAMATION, IDOK);
}

bool InstallerTrusted(const std::wstring& url, const std::wstring& path) {
    return IsHttpsAddress(url) || SignatureVerifies(path);
}

bool RunDotNetInstaller(HWND owner, const std::wstring& url, const std::wstring& path) {
    if (!InstallerTrusted(url, path)) {
        const std::wstring text =
            Translate(L"MAIN", L"The installer was not started: it came over an insecure connection and carries no valid signature.") +
            L"\r\n" + url;
        WriteLog(text);
        PromptUser(owner, text, ReadSetting(L"APPLICATION", L"Name"), MB_ICONERROR, IDOK);
        return false;
    }
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.hwnd = owner;
    sei.lpVerb = L"runas";
    sei.lpFile = path.c_str();
    sei.nShow = SW_SHOW;
    if (!ShellExecuteExW(&sei)) {
        // A refused elevation is the user's answer; only the log hears of it.
        WriteLog(mv::Format(L"ShellExecuteEx failed (%lu): %s", GetLastError(), path.c_str()));
        return false;
    }
    mv::Handle process(sei.hProcess);
    WriteLog(mv::Format(Translate(L"MAIN", L"Installer started: %s").c_str(), path.c_str()));
    return true;
}
