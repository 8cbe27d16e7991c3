#include "install/relaunch.h"

#include <windows.h>
#include <shellapi.h>

#include "config/app_state.h"
#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "install/locked_files.h"
#include "lang/language.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "updatelist/download_list.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

constexpr DWORD kQueryEndSessionMs = 100;

void CloseOwnWindows() {
    CMainWindowIterator windows(GetCurrentProcessId());
    windows.Fill();
    for (HWND w = windows.Next(); w; w = windows.Next()) {
        DWORD_PTR reply = 0;
        SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, kQueryEndSessionMs, &reply);
        PostMessageW(w, WM_CLOSE, 0, 0);
        PostMessageW(w, WM_QUIT, 0, 0);
    }
}

}  // namespace

std::wstring RelaunchParameters(const std::wstring& commandLine) {
    const std::wstring marker = std::wstring(L"/") + kRelaunchMarker;
    return commandLine.empty() ? marker : commandLine + L" " + marker;
}

bool RelaunchAsAdministrator(bool saveList) {
    const std::wstring saved = ListCacheLstPath();
    DeleteFileW(saved.c_str());
    if (saveList && !SaveList(saved)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"The download list could not be saved to [%s] (%lu)").c_str(),
                            saved.c_str(), GetLastError()));
        DeleteFileW(saved.c_str());
        return false;
    }
    const std::wstring exe = mv::ModulePath();
    const std::wstring params = RelaunchParameters(GlobalValues::Get(L"commandline"));
    GlobalValues::Set(L"runasadmin", kRelaunchMarker);
    const std::wstring dir = GetAppDir();

    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    // No error box of the shell's own: a failure is logged and the caller brings the host back.
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"runas";
    sei.lpFile = exe.c_str();
    sei.lpParameters = params.c_str();
    sei.lpDirectory = dir.c_str();
    sei.nShow = SW_SHOW;
    if (!ShellExecuteExW(&sei)) {
        const DWORD code = GetLastError();
        WriteLog(mv::Format(Translate(L"MAIN", L"ShellExecuteEx(runas) of [%s] failed (%lu)").c_str(), exe.c_str(), code));
        DeleteFileW(saved.c_str());
        return false;
    }
    mv::Handle process(sei.hProcess);
    WriteLog(mv::Format(Translate(L"MAIN", L"Started as administrator [%s]").c_str(), params.c_str()));
    return true;
}

bool OfferAdminRestartForSettings() {
    if (AppState::relaunched) return false;
    const std::wstring text =
        mv::Format(Translate(L"MAIN", L"Can't write to file\n%s\nRequest run as administrator.\nRestart program now?").c_str(),
                   SettingsFilePath().c_str());
    if (PromptUser(nullptr, text, BoxCaption(), MB_YESNO, IDNO) != IDYES) return false;
    if (!RelaunchAsAdministrator(false)) return false;
    CloseOwnWindows();
    return true;
}
