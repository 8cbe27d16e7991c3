#include "app/update_app.h"

#include <winsock2.h>
#include <objbase.h>

#include "app/app_state.h"
#include "app/command_line.h"
#include "app/drivers.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "download/file_tree.h"
#include "download/http.h"
#include "install/backups.h"
#include "install/dotnet.h"
#include "install/run_file.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "package/package.h"
#include "ui/windows.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "check/remote_check.h"
#include "util/files.h"
#include "util/text.h"

namespace {
constexpr int kSettingsResource = 179;
constexpr int kLanguageSimplified = 150;
constexpr int kLanguageTraditional = 147;

std::string LoadSettingsResource() {
    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(kSettingsResource), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!res) return {};
    HGLOBAL data = LoadResource(nullptr, res);
    DWORD size = SizeofResource(nullptr, res);
    const void* bytes = data ? LockResource(data) : nullptr;
    return bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
}
}  // namespace

std::wstring AppDirFor(const std::wstring& windowsDir, const std::wstring& subDir) {
    return mv::ReduceBackslashes(windowsDir.substr(0, 3) + L"Brenwick" + L"\\omra\\" + subDir + L"\\");
}

int UpdateExitCode() {
    const DownLoadList& list = TheDownLoadList();
    return ComputeExitCode(list.FileCount(), list.remoteVersion, ReadSetting(L"APPLICATION", L"Ver"));
}

void CUpdateApp::PrepareAppDir() {
    AppState::embeddedSettings = LoadSettingsResource();
    m_embeddedSettings = mv::FromCodePage(AppState::embeddedSettings, CP_ACP);

    std::wstring sub = ReadEmbeddedSetting(m_embeddedSettings, L"[APPLICATION]", L"Name");
    // A shared installation names its data directory after the id in Kelvorbook.ini.
    std::wstring exeDir = mv::PathDir(mv::ModulePath());
    if (!exeDir.empty() && exeDir.back() == L'\\') exeDir.pop_back();
    std::wstring kelvorbook = mv::Format(L"%s\\..\\Kelvorbook.ini", exeDir.c_str());
    if (mv::FileExists(kelvorbook)) {
        std::wstring id = ReadSettingFrom(kelvorbook, L"APPLICATION", L"KelvorbookId");
        sub = mv::Format(L"%s\\ZR_%s", sub.c_str(), id.c_str());
    }

    wchar_t winDir[MAX_PATH] = {};
    GetWindowsDirectoryW(winDir, MAX_PATH);
    std::wstring appDir = AppDirFor(winDir, sub);
    mv::CreateDirTree(appDir);
    SetAppDir(appDir);

    // The shipped settings replace whatever is on disk, so a run never inherits a changed file.
    if (!AppState::embeddedSettings.empty()) mv::WriteFileBytes(appDir + L"mirovane.ini", AppState::embeddedSettings);
}

void CUpdateApp::RunStartupHooks() {
    std::wstring hook = ReadSetting(L"UpdateEvent", L"UpdateStartup");
    if (!hook.empty()) RunFile(hook, L"", L"", nullptr, false);
    hook = ReadSetting(L"UpdateEventWaitClose", L"UpdateStartup");
    if (!hook.empty()) RunFile(hook, L"", L"", nullptr, true);
}

void CUpdateApp::CheckPackageAddress() {
    if (!LoadSettingsPackage()) return;
    std::wstring packageUrl = GlobalValues::Get(L"updateurl");
    if (packageUrl.empty()) return;
    std::wstring listUrl = ReadSetting(L"UPDATEINFO", L"ListURL");
    auto normal = [](const std::wstring& s) { return mv::ReplaceAll(mv::ToLower(s), L"&", L"`"); };
    if (normal(packageUrl) != normal(listUrl)) {
        std::wstring text = Translate(L"MAIN",
                                      L"Your url of the remote xml file contains some inappropriate characters,please "
                                      L"fix it,otherwise,may be happen some error.") +
                            L"\r\n\r\n" + listUrl;
        MessageBoxW(nullptr, text.c_str(), ReadSetting(L"APPLICATION", L"Name").c_str(), MB_OK | MB_ICONERROR);
    }
}

void CUpdateApp::LoadLanguages() {
    std::wstring lang = ReadSetting(L"Mirovane", L"Langage");
    if (lang.empty()) lang = ReadSetting(L"Mirovane", L"Language");
    lang = mv::ToLower(lang);
    CLanguage& language = TheLanguage();
    if (lang == L"mirovanecn.lan")
        language.LoadLanguageResource(kLanguageSimplified);
    else if (lang == L"mirovanebig.lan")
        language.LoadLanguageResource(kLanguageTraditional);
    else
        language.LoadLanguageFile(GetAppDir() + lang);
    language.LoadLanguageFile(
        mv::ReduceBackslashes(mv::Format(L"%s\\%s.lan", GetAppDir().c_str(), AppState::exeBaseName.c_str())));
}

void CUpdateApp::CleanCache() {
    const std::wstring dir = ListCacheDir();
    for (const wchar_t* suffix : {L".xml.xml", L".xml", L".bin", L".ini"}) DeleteFileW((dir + suffix).c_str());
    DeleteTree(dir);
}

BOOL CUpdateApp::InitInstance() {
    // 1. Application directory and the settings file.
    PrepareAppDir();

    // 2. COM, sockets, executable name.
    CoInitialize(nullptr);
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    AppState::exeBaseName = mv::PathBaseName(mv::ModulePath());

    // 3. Update package appended to the executable.
    CheckAppendedPackage();

    // The hidden copy that renews the cached list runs no hooks and shows no box.
    const std::wstring earlyMode =
        PickRunMode(ReadSetting(L"Mirovane", L"Mode"),
                    CommandWords(CleanCommandLine(ArgumentsOf(GetCommandLineW()),
                                                  GetAppDir() + L"\\" + AppState::exeBaseName + L".exe")));
    const bool hiddenCopy = earlyMode == L"downparam0" || earlyMode == L"downparam1";

    // 4. Start-up hooks.
    if (!hiddenCopy) RunStartupHooks();

    // 5. Connection attempts of the download engine.
    AppState::connectTryCount = mv::ParseLong(ReadSettingOr(L"Mirovane", L"ConnectTryCount", L"3"));

    // 6. The settings package must name the same list as the settings.
    if (hiddenCopy)
        LoadSettingsPackage();
    else
        CheckPackageAddress();

    // 7. Backups of the previous update.
    DeleteRecordedBackups();

    // 8. ActiveX hosting needs no set-up here: the error page creates its browser control itself.

    // 9. Language.
    LoadLanguages();

    // 10. Command line.
    const std::wstring ownPath = GetAppDir() + L"\\" + AppState::exeBaseName + L".exe";
    const std::wstring cmd = CleanCommandLine(ArgumentsOf(GetCommandLineW()), ownPath);
    GlobalValues::Set(L"commandline", cmd);
    AppState::relaunched = HasRelaunchMarker(cmd);

    // 11. A .NET switch asks only for the prerequisite.
    const std::wstring dotnet = FindDotNetSwitch(cmd);
    if (!dotnet.empty()) {
        WriteLog(mv::Format(Translate(L"MAIN", L"Check .NET Framework %s").c_str(), dotnet.c_str()));
        OfferDotNetInstall(nullptr, dotnet);
        return FALSE;
    }

    // 12. The prerequisite check of the settings.
    CheckDotNetAtStartup();

    // 13. Run mode and host window.
    const std::vector<std::wstring> words = CommandWords(cmd);
    std::wstring mode = PickRunMode(ReadSetting(L"Mirovane", L"Mode"), words);
    AppState::hostWindow = FindHostWindow(words, [](HWND h) { return IsWindow(h) != FALSE; });

    // 14. The host window receives notifications through a buffer in its own process.
    if (AppState::hostWindow) HostWindows::Register(AppState::hostWindow, true);

    // 15.
    if (!hiddenCopy) SetStage(UpdateNone);

    // 16. An elevated relaunch continues from the list the first process saved.
    if (AppState::relaunched) {
        const std::wstring saved = ListCacheLstPath();
        if (LoadList(saved) && TheDownLoadList().FileCount() > 0) SetStage(UpdateDownloadOk);
        DeleteFileW(saved.c_str());
        if (mode == L"appenter" || mode == L"appenternoprompt") mode.clear();
    }
    GlobalValues::Set(L"runmode", mode);
    WriteLog(mv::Format(Translate(L"MAIN", L"Run mode [%s], host window [%lu]").c_str(), mode.c_str(),
                        static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(AppState::hostWindow))));

    // 17.
    return Dispatch(mode);
}

BOOL CUpdateApp::Dispatch(const std::wstring& mode) {
    HWND host = AppState::hostWindow;
    DownLoadList& list = TheDownLoadList();
    if (mode == L"downparam0" || mode == L"downparam1") {
        // The hidden copy renews the cached list for the next quick check; downparam1 means the
        // starting copy had seen our own update server's tag, which this copy then assumes too.
        if (mode == L"downparam1") SetServerTagSeen();
        RefreshListCache();
        return FALSE;
    }
    if (mode == L"checkforupdates") {
        if (ReadSettingBool(L"Mirovane", L"ShowWhenCheck", L"1"))
            ShowMostSimpleWindow(MostSimpleCheck, host);
        else
            StartRemoteCheck(nullptr);
        SetStage(UpdateEnd);
        return list.FileCount() > 0 ||
               (!list.remoteVersion.empty() && list.remoteVersion != ReadSetting(L"APPLICATION", L"Ver"));
    }
    if (mode == L"showwhenupdate") {
        RunRemoteCheck(nullptr);
        if (list.FileCount() > 0 && list.stage == UpdateCheckRemoteOk) {
            ShowUpdateWindow(this, host);
            SetStage(UpdateEnd);
        }
        return list.FileCount() > 0;
    }
    if (mode == L"tryicon") {
        ShowTrayIconWindow(host);
        return FALSE;
    }
    if (mode == L"silence") return RunSilent(host);
    if (mode == L"appenter" || mode == L"appenternoprompt") return RunAppEnter(mode);
    if (mode == L"uninstall") {
        UninstallCleanup();
        CleanCache();
        return FALSE;
    }
    if (mode == L"emptytemp") {
        CleanCache();
        return FALSE;
    }
    ShowUpdateWindow(this, host);
    SetStage(UpdateEnd);
    return FALSE;
}

int CUpdateApp::Run() {
    // Without a main window the framework's loop has nothing to wait for.
    if (m_pMainWnd && IsWindow(m_pMainWnd)) {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

int CUpdateApp::ExitInstance() {
    HostWindows::ReleaseAll();
    CoUninitialize();
    WSACleanup();
    int code = UpdateExitCode();
    GlobalValues::Clear();
    return code;
}
