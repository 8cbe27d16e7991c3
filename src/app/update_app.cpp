#include "app/update_app.h"

#include <winsock2.h>
#include <objbase.h>
#include <psapi.h>
#include <sddl.h>

#include <exception>

#include "config/app_state.h"
#include "app/command_line.h"
#include "app/drivers.h"
#include "app/prerequisites.h"
#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "download/http.h"
#include "download/scheduler.h"
#include "util/file_tree.h"
#include "install/dotnet.h"
#include "install/file_ops.h"
#include "install/install_lock.h"
#include "install/relaunch.h"
#include "install/tasks.h"
#include "install/session.h"
#include "install/transaction.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "package/package.h"
#include "resources/resource_ids.h"
#include "ui/updater_windows.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "check/check_rules.h"
#include "check/list_signature.h"
#include "check/list_validators.h"
#include "check/remote_check.h"
#include "util/files.h"
#include "util/private_dir.h"
#include "util/text.h"

namespace {

std::string LoadSettingsResource() {
    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(MV_RES_SETTINGS), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!res) return {};
    HGLOBAL data = LoadResource(nullptr, res);
    DWORD size = SizeofResource(nullptr, res);
    const void* bytes = data ? LockResource(data) : nullptr;
    return bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
}
}  // namespace

const wchar_t* const kAppDirSddl = mv::kProtectedDirSddl;

bool CreateAppDirTree(const std::wstring& dir) {
    std::wstring p = dir;
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    if (p.empty()) return false;
    if (mv::DirExists(p) || (p.size() == 2 && p[1] == L':')) return true;
    const size_t cut = p.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 0) CreateAppDirTree(p.substr(0, cut));
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAppDirSddl, SDDL_REVISION_1, &sd, nullptr)) {
        const DWORD code = GetLastError();
        WriteLog(mv::Format(Translate(L"MAIN", L"ConvertStringSecurityDescriptorToSecurityDescriptor failed (%lu)").c_str(),
                            code));
        return false;  // never a directory open to everyone instead
    }
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
    const bool made = CreateDirectoryW(p.c_str(), &sa) != FALSE;
    const DWORD error = GetLastError();
    LocalFree(sd);
    return made || error == ERROR_ALREADY_EXISTS;
}

std::wstring AppDirFor(const std::wstring& windowsDir, const std::wstring& subDir) {
    return mv::ReduceBackslashes(windowsDir.substr(0, 3) + L"Brenwick" + L"\\omra\\" + subDir + L"\\");
}

static void RunStageHook(const std::wstring& hook, bool wait) { RunFile(hook, L"", L"", nullptr, wait); }

void RegisterStageHookRunner() { SetStageHookRunner(RunStageHook); }

int UpdateExitCode() {
    const DownLoadList& list = TheDownLoadList();
    RunFacts facts;
    facts.reached = list.reached;
    facts.files = list.FileCount();
    facts.refused = list.refused;
    facts.failedDownloads = static_cast<int>(DownloadFailedList().size());
    facts.remoteVersion = list.remoteVersion;
    facts.installedVersion = ReadSetting(L"APPLICATION", L"Ver");
    facts.handedOver = SessionHandedOver();
    facts.busy = SessionFoundBusy();
    facts.lockRefused = InstallLockRefused();
    const RunOutcome outcome = DescribeRun(facts);
    // One last line in every mode but the hidden copy, which only renews the cache, and the
    // uninstall, which has just removed the log.
    const std::wstring mode = GlobalValues::Get(L"runmode");
    if (mode != L"downparam0" && mode != L"downparam1" && mode != L"uninstall")
        WriteLog(mv::Format(L"Outcome [%d]: %s", outcome.code, outcome.text.c_str()));
    if (ReadSettingBool(L"Mirovane", L"DetailedExitCode", L"0")) return outcome.code;
    return ComputeExitCode(facts.files, facts.remoteVersion, facts.installedVersion);
}

void CUpdateApp::PrepareAppDir() {
    AppState::embeddedSettings = LoadSettingsResource();

    std::wstring sub =
        ReadEmbeddedSetting(mv::FromCodePage(AppState::embeddedSettings, CP_ACP), L"[APPLICATION]", L"Name");
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
    CreateAppDirTree(appDir);
    SetAppDir(appDir);

    // The shipped settings replace whatever is on disk, so a run never inherits a changed file.
    if (!AppState::embeddedSettings.empty() &&
        !mv::WriteFileBytes(appDir + L"mirovane.ini", AppState::embeddedSettings))
        settingsWriteError_ = GetLastError();
}

void CUpdateApp::RunStartupHooks() { RunStageHooks(L"UpdateStartup"); }

void CUpdateApp::CheckPackageAddress() {
    if (!LoadSettingsPackage()) return;
    std::wstring packageUrl = GlobalValues::Get(L"updateurl");
    if (packageUrl.empty()) return;
    const std::wstring listUrl = CurrentListSource().configured;
    auto normal = [](const std::wstring& s) { return mv::ReplaceAll(mv::ToLower(s), L"&", L"`"); };
    if (normal(packageUrl) != normal(listUrl)) {
        std::wstring text = Translate(L"MAIN",
                                      L"Your url of the remote xml file contains some inappropriate characters,please "
                                      L"fix it,otherwise,may be happen some error.") +
                            L"\r\n\r\n" + listUrl;
        MessageBoxW(nullptr, text.c_str(), ReadSetting(L"APPLICATION", L"Name").c_str(), MB_OK | MB_ICONERROR);
    }
}

void CUpdateApp::TakeAppendedPackage() {
    AppendedPackage package;
    std::wstring why;
    switch (OpenAppendedPackage(mv::ModulePath(), GetTempDir(), kMaxListBytes, package, why)) {
        case PackageFound::None: return;
        case PackageFound::Damaged: packageProblem_ = why; return;
        case PackageFound::Usable: break;
    }
    // A package whose list does not verify is as damaged as one whose bytes do not.
    if (!VerifyPackageLists(package)) {
        DeleteFileW(package.path.c_str());
        packageProblem_ = L"its update list does not verify against its signature";
        return;
    }
    WriteLog(mv::Format(L"update package [%s] found: the update comes from it, not the server", package.path.c_str()));
    SetActivePackage(std::move(package));
}

// Once, after the languages are loaded: always in the log, in a box too unless the mode is silent.
void CUpdateApp::ReportDamagedPackage(const std::wstring& mode) {
    if (packageProblem_.empty()) return;
    const std::wstring text = Translate(L"MAIN", L"Find some wrong in this update package!");
    WriteLog(text + L" (" + packageProblem_ + L")");
    packageProblem_.clear();
    if (mode != L"silence")
        MessageBoxW(nullptr, text.c_str(), ReadSetting(L"APPLICATION", L"Name").c_str(), MB_OK | MB_ICONERROR);
}

void CUpdateApp::LoadLanguages() {
    std::wstring lang = ReadSetting(L"Mirovane", L"Langage");
    if (lang.empty()) lang = ReadSetting(L"Mirovane", L"Language");
    lang = mv::ToLower(lang);
    CLanguage& language = TheLanguage();
    if (lang == L"mirovanecn.lan")
        language.LoadLanguageResource(MV_RES_LANG_SIMPLIFIED);
    else if (lang == L"mirovanebig.lan")
        language.LoadLanguageResource(MV_RES_LANG_TRADITIONAL);
    else
        language.LoadLanguageFile(GetAppDir() + lang);
    language.LoadLanguageFile(
        mv::ReduceBackslashes(mv::Format(L"%s\\%s.lan", GetAppDir().c_str(), AppState::exeBaseName.c_str())));
}

void CUpdateApp::CleanCache() {
    const std::wstring cache = ListCacheXmlPath();
    for (const std::wstring& path :
         {PinnedListCopyOf(cache), cache, SettingsPackagePath(), ListCacheIniPath(), MainListCopyOf(cache),
          ValidatorsFileOf(MainListCopyOf(cache)), ListSourceCopyOf(cache), ValidatorsFileOf(ListSourceCopyOf(cache))})
        DeleteFileW(path.c_str());
    DeleteTree(ListCacheDir());
}

namespace {

// The crash drill: with MIROVANE_KILL_AT_FILE_OPERATION=<k> in its environment the process
// ends at once, as a power cut would end it, after the k-th file operation of installing or
// of recovering (every operation counted from the start). The recovery at the next start is
// what such a kill is there to show.
void ArmKillAtFileOperation() {
    wchar_t text[16] = {};
    const DWORD n = GetEnvironmentVariableW(L"MIROVANE_KILL_AT_FILE_OPERATION", text, 16);
    if (n == 0 || n >= 16) return;
    const long at = mv::ParseLong(text);
    if (at <= 0) return;
    static long done = 0;
    SetFileOperationObserver([at] {
        if (++done >= at) TerminateProcess(GetCurrentProcess(), 99);
    });
}

}  // namespace

BOOL CUpdateApp::InitInstance() {
    ArmKillAtFileOperation();
    RegisterStageHookRunner();
    RegisterPrerequisiteWindows();
    PrepareAppDir();
    // Where the list comes from, read once the settings are in place.
    ResolveListSource();

    CoInitialize(nullptr);
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    AppState::exeBaseName = mv::PathBaseName(mv::ModulePath());

    // The hidden copy that renews the cached list runs no hooks and shows no box.
    const std::wstring earlyCmd =
        CleanCommandLine(ArgumentsOf(GetCommandLineW()), GetAppDir() + L"\\" + AppState::exeBaseName + L".exe");
    const std::wstring earlyMode = PickRunMode(ReadSetting(L"Mirovane", L"Mode"), CommandWords(earlyCmd));
    const bool hiddenCopy = earlyMode == L"downparam0" || earlyMode == L"downparam1";
    // An update package appended to this executable: the modes that run no session leave it,
    // and an elevated copy continues from the files the first copy already unpacked.
    if (!hiddenCopy && earlyMode != L"uninstall" && earlyMode != L"emptytemp" && !HasRelaunchMarker(earlyCmd))
        TakeAppendedPackage();
    if (!hiddenCopy) RegisterUserPrompt(&ShowPromptBox);
    if (!hiddenCopy) RunStartupHooks();
    AppState::connectTryCount = mv::ParseLong(ReadSettingOr(L"Mirovane", L"ConnectTryCount", L"3"));

    // The settings package must name the same list as the settings.
    if (hiddenCopy)
        LoadSettingsPackage();
    else
        CheckPackageAddress();
    // The copy that runs the update removes the last one's backups; a hidden copy would only
    // find the directory held by it.
    if (!hiddenCopy) DeleteRecordedBackups();
    const std::wstring refused = WorkingDirRefusal();
    if (!refused.empty())
        WriteLog(mv::Format(Translate(L"MAIN", L"the private working directory is refused (%s): the application directory serves instead").c_str(),
                            refused.c_str()));
    LoadInstalledVersion();
    LoadLanguages();
    ReportDamagedPackage(earlyMode);

    const std::wstring ownPath = GetAppDir() + L"\\" + AppState::exeBaseName + L".exe";
    const std::wstring cmd = CleanCommandLine(ArgumentsOf(GetCommandLineW()), ownPath);
    GlobalValues::Set(L"commandline", cmd);
    AppState::relaunched = HasRelaunchMarker(cmd);

    // A .NET switch asks only for the prerequisite.
    const std::wstring dotnet = FindDotNetSwitch(cmd);
    if (!dotnet.empty()) {
        WriteLog(mv::Format(Translate(L"MAIN", L"Check .NET Framework %s").c_str(), dotnet.c_str()));
        if (!hiddenCopy) OfferDotNetInstall(nullptr, dotnet);  // a hidden copy shows nothing
        return FALSE;
    }

    // The hidden copy shows nothing, the .NET offer included.
    if (!hiddenCopy) CheckDotNetAtStartup();

    const std::vector<std::wstring> words = CommandWords(cmd);
    std::wstring mode = PickRunMode(ReadSetting(L"Mirovane", L"Mode"), words);
    AppState::hostWindow = FindHostWindow(words, [](HWND h) { return IsWindow(h) != FALSE; });

    // The host window receives notifications through a buffer in its own process.
    if (AppState::hostWindow) HostWindows::Register(AppState::hostWindow, true);
    if (LogTimingOn()) {
        // How long the start-up above took, from the moment the process was made.
        FILETIME created{}, exited{}, kernel{}, user{}, now{};
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        GetSystemTimeAsFileTime(&now);
        const auto ticks = [](const FILETIME& f) {
            return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        };
        WriteLog(mv::Format(L"process made %llu ms ago", (ticks(now) - ticks(created)) / 10000));
    }
    if (!hiddenCopy) SetStage(UpdateNone);

    // An elevated relaunch continues from the list the first process saved.
    if (AppState::relaunched) {
        const std::wstring saved = ListCacheLstPath();
        const bool present = mv::FileExists(saved);
        const bool loaded = present && LoadList(saved);
        if (present && !loaded)
            WriteLog(mv::Format(Translate(L"MAIN", L"The saved download list [%s] cannot be read; the update stops").c_str(),
                                saved.c_str()));
        // Only what this copy can verify goes on (a user may have written the saved list).
        const bool usable = loaded && ContinueFromSavedList(TheDownLoadList());
        if (usable && TheDownLoadList().FileCount() > 0) SetStage(UpdateDownloadOk);
        DeleteFileW(saved.c_str());
        if (present && !usable) ForgetSession(TheDownLoadList());
        if (present && !usable && !hiddenCopy) {
            // The copy was started to continue a session it cannot use: it installs nothing,
            // and brings back the host program the first copy closed. (A hidden copy runs no
            // session and goes on with its own work.)
            SetStage(UpdateCheckLocalError);
            EndUpdateSession(TheDownLoadList());
            return FALSE;
        }
        if (mode == L"appenter" || mode == L"appenternoprompt") mode.clear();
    }
    GlobalValues::Set(L"runmode", mode);
    // Settings this copy could not write for lack of rights: offer to start again elevated.
    if (settingsWriteError_ == ERROR_ACCESS_DENIED && !hiddenCopy && OfferAdminRestartForSettings()) return FALSE;
    WriteLog(mv::Format(Translate(L"MAIN", L"Run mode [%s], host window [%lu]").c_str(), mode.c_str(),
                        static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(AppState::hostWindow))));

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
            ShowMostSimpleWindow(MostSimpleCheck, host, WindowActionsFor(this));
        else
            StartRemoteCheck(nullptr, TheDownLoadList());
        SetStage(UpdateEnd);
        return list.FileCount() > 0 ||
               (!list.remoteVersion.empty() && list.remoteVersion != ReadSetting(L"APPLICATION", L"Ver"));
    }
    if (mode == L"showwhenupdate") {
        RunRemoteCheck(nullptr, TheDownLoadList());
        if (list.FileCount() > 0 && list.stage == UpdateCheckRemoteOk) {
            ShowUpdateWindow(this, host);
            SetSessionEndStage();
        }
        return list.FileCount() > 0;
    }
    if (mode == L"tryicon") {
        ShowTrayIconWindow(host, WindowActionsFor(this));
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
    SetSessionEndStage();
    return FALSE;
}

// Every mode's work is done inside InitInstance (the windows run their own modal loops), so
// nothing is left to pump here.
int CUpdateApp::Run() { return ExitInstance(); }

int CUpdateApp::ExitInstance() {
    JoinCheckThreads();
    if (LogTimingOn()) {
        PROCESS_MEMORY_COUNTERS mem{};
        mem.cb = sizeof(mem);
        if (GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem)))
            WriteLog(mv::Format(L"peak working set %llu bytes", static_cast<unsigned long long>(mem.PeakWorkingSetSize)));
    }
    HostWindows::ReleaseAll();
    DropActivePackage();
    CoUninitialize();
    WSACleanup();
    int code = UpdateExitCode();
    GlobalValues::Clear();
    return code;
}

int RunUpdateApp(CUpdateApp& app) {
    std::wstring what;
    try {
        if (!app.InitInstance()) return app.ExitInstance();
        return app.Run();
    } catch (const std::exception& e) {
        what = mv::FromCodePage(e.what(), CP_ACP);
    } catch (...) {
        what = L"unknown exception";
    }
    // The process is ending: the log line and the host buffers, and nothing more may throw.
    try {
        WriteLog(mv::Format(Translate(L"MAIN", L"Unexpected failure [%s], the updater stops").c_str(), what.c_str()));
        HostWindows::ReleaseAll();
    } catch (...) {
    }
    return kExitUnexpectedFailure;
}
