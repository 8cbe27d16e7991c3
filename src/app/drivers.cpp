#include "app/drivers.h"

#include <climits>

#include "ui/updater_windows.h"

#include "check/remote_check.h"
#include "config/app_state.h"
#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "install/confine.h"
#include "install/file_ops.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "install/relaunch.h"
#include "install/session.h"
#include "install/targets.h"
#include "install/transaction.h"
#include "install/tasks.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "updatelist/update_list.h"
#include "util/file_tree.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Set when this process handed its session to an elevated copy: the session is not over.
bool g_handedOver = false;
// Set when a session found another one holding the application directory.
bool g_busy = false;

void RememberSessionEnd(SessionEnd end) {
    if (end == SessionEnd::Relaunched) g_handedOver = true;
    if (end == SessionEnd::Busy) g_busy = true;
}

// The session's questions in boxes without an owner: the silent mode shows no window, but
// somebody may sit at the desktop.
BoxObserver g_silentObserver(nullptr, false);

std::wstring AppName() { return ReadSetting(L"APPLICATION", L"Name"); }

}  // namespace

bool SessionHandedOver() { return g_handedOver; }
bool SessionFoundBusy() { return g_busy; }

void EndAfterErrorPage() {
    WriteLog(Translate(L"MAIN", L"The error page was closed, the updater ends"));
    HostWindows::ReleaseAll();
    ExitProcess(static_cast<UINT>(-1));
}

int OfferCount(int fileCount, const std::wstring& remoteVersion, const std::wstring& installedVersion) {
    if (!remoteVersion.empty() && remoteVersion != installedVersion) return INT_MAX;
    return fileCount;
}

void SetSessionEndStage() {
    if (g_handedOver || TheDownLoadList().stage == UpdateEnd) return;
    SetStage(UpdateEnd);
}

WindowActions WindowActionsFor(CUpdateApp* app) {
    WindowActions a;
    a.runSession = [](HWND host, SessionObserver& observer) { return RunUpdateSession(host, observer); };
    // A check the list has already seen (the window of a mode whose check ran) is not repeated.
    a.startRemoteCheck = [](HWND w) {
        DownLoadList& list = TheDownLoadList();
        if (list.stage < UpdateCheckRemoteOk) StartRemoteCheck(w, list);
    };
    a.elevationPending = [] {
        if (AppState::relaunched) ClearElevationList();
        return !ElevationList().empty();
    };
    a.relaunchElevated = [] { return HandOverToAdministrator(); };
    a.offerUpdate = [] { return OfferUpdate(); };
    a.runUpdate = [app](HWND owner) { return ShowUpdateWindow(app, owner); };
    a.hostProgramRunning = [] { return HostProgramRunning(); };
    a.forgetSession = [] {
        ForgetSession(TheDownLoadList());
        SetStage(UpdateNone);
    };
    a.filesFound = [] { return TheDownLoadList().FileCount(); };
    return a;
}

bool RunSilent(HWND hostWindow) {
    RememberSessionEnd(RunUpdateSession(hostWindow, g_silentObserver));
    return true;
}

bool RunAppEnter(const std::wstring&) {
    if (mv::Trim(ReadSetting(L"APPLICATION", L"Application")).empty()) {
        const std::wstring text = Translate(L"MAIN", L"At AppEnter mode,You must set Application in mirovane.ini file.");
        MessageBoxW(nullptr, text.c_str(), AppName().c_str(), MB_OK);
        return false;
    }
    if (ReadSettingBool(L"Mirovane", L"ShowWhenCheck", L"1")) {
        // The window runs the check and then the offer itself.
        RememberSessionEnd(ShowMostSimpleWindow(MostSimpleAppEnter, AppState::hostWindow, WindowActionsFor(nullptr)).end);
        return true;
    }
    StartRemoteCheck(nullptr, TheDownLoadList());
    return OfferUpdate();
}

bool OfferUpdate() {
    DownLoadList& list = TheDownLoadList();
    const int count = OfferCount(list.FileCount(), list.remoteVersion, ReadSetting(L"APPLICATION", L"Ver"));
    if (list.stage == UpdateCheckRemoteOk && count > 0) {
        if (GlobalValues::Get(L"runmode") != L"appenternoprompt") {
            // The count goes in as a number through a format the translation is checked against.
            const std::wstring question =
                !list.remoteVersion.empty()
                    ? Translate(L"MAIN", L"found new version at the website,now to upgrade?")
                    : mv::Format(Translate(L"MAIN", L"%d updates found at the website,now to upgrade?").c_str(),
                                 list.FileCount());
            const int answer =
                MessageBoxW(nullptr, question.c_str(), AppName().c_str(), MB_YESNOCANCEL | MB_ICONQUESTION);
            if (answer == IDCANCEL) {
                SetStage(UpdateEnd);
                ListCacheBookkeeping();
                return true;
            }
            if (answer != IDYES) {
                SetStage(UpdateEnd);
                const HostStart started = StartHostProgramUnlessRunning(true);
                ListCacheBookkeeping();
                if (started == HostStart::ErrorPageClosed) EndAfterErrorPage();
                return true;
            }
        }
        ShowUpdateWindow(nullptr, AppState::hostWindow);
        SetSessionEndStage();
        return true;
    }
    SetStage(UpdateEnd);
    const HostStart started = StartHostProgramUnlessRunning(true);
    ListCacheBookkeeping();
    if (started == HostStart::ErrorPageClosed) EndAfterErrorPage();
    return true;
}

bool ShowUpdateWindow(CUpdateApp* app, HWND hostWindow) {
    GlobalValues::Set(L"updateskin", ReadSetting(L"Mirovane", L"Skin"));
    GlobalValues::Set(L"updateskin", L"mostsimple");
    // The session's end sequence did the list cache bookkeeping.
    const WindowOutcome outcome = ShowMostSimpleWindow(MostSimpleUpdate, hostWindow, WindowActionsFor(app));
    RememberSessionEnd(outcome.end);
    return outcome.installed;
}

std::vector<std::wstring> UninstallDirWalk(const std::wstring& path, const std::wstring& appDir) {
    std::vector<std::wstring> dirs;
    const std::wstring inside = mv::ToLower(appDir);
    std::wstring p = path;
    while (mv::ToLower(p).find(inside) != std::wstring::npos && p.size() > 3) {
        dirs.push_back(p);
        const size_t cut = p.find_last_of(L'\\');
        if (cut == std::wstring::npos) break;
        std::wstring parent = p.substr(0, cut);
        if (parent == p) break;
        p = parent;
    }
    return dirs;
}

namespace {

constexpr DWORD kUninstallLockWaitMs = 2000;

// Deletes one installed file (an update list comes from a server: only paths the install
// step could have written) and the folders it leaves empty inside the application directory.
void RemoveInstalledPath(const std::wstring& path, const std::wstring& appDir) {
    const std::wstring full = NormalizePath(path);
    if (!MayTouchPath(full)) return;
    if (PathExists(full) && !(GetFileAttributesW(full.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) {
        if (DeleteFileNow(full))
            WriteLog(Translate(L"MAIN", L"Remove file") + L"[" + full + L"]");
        else
            WriteLog(mv::Format(L"DeleteFile[%s] failed (%lu)", full.c_str(), GetLastError()));
    }
    if (!PathIsBelow(full, NormalizePath(appDir))) return;
    for (const std::wstring& dir : UninstallDirWalk(full, appDir)) RemoveDirectoryW(dir.c_str());
}

}  // namespace

void UninstallCleanup() {
    const std::wstring appDir = GetAppDir();
    TestFileWritableWithPrompt(mv::ReduceBackslashes(appDir + L"\\mirovane.ini"), nullptr);
    if (AppState::relaunched) ClearElevationList();
    if (!ElevationList().empty()) {
        RelaunchAsAdministrator(true);
        return;
    }
    if (!AcquireInstallLock(kUninstallLockWaitMs)) {
        WriteLog(InstallLockBusyText());
        return;
    }
    DeleteTree(ListCacheDir());

    DownLoadList& list = TheDownLoadList();
    const std::wstring installed = mv::ReduceBackslashes(appDir + L"\\mirovane.xml");
    if (LoadUpdateList(installed, list.records, false)) {
        for (const updatefileinfo& record : list.records) {
            if (record.action == DescriptionRecord || record.action == RunTaskRecord) continue;
            for (const std::wstring& target : InstallTargets(record)) RemoveInstalledPath(target, appDir);
            for (const std::wstring& shortcut : ShortcutPaths(record))
                RemoveInstalledPath(ShortcutFileName(shortcut), appDir);
        }
    }
    // The log goes last: nothing may be written after it.
    const std::wstring log = ReadSetting(L"Mirovane", L"Log");
    // The installed version goes with the installed list.
    if (PathExists(InstalledVersionPath())) DeleteFileNow(InstalledVersionPath());
    for (const std::wstring& name : {log, std::wstring(L"__oldfiles.lst"), std::wstring(L"mirovane.xml")}) {
        if (name.empty()) continue;
        const std::wstring path = NormalizePath(JoinPath(appDir, name));
        if (PathIsBelow(path, NormalizePath(appDir))) DeleteFileNow(path);
    }
    ReleaseInstallLock();
}
