#include "install/run_file.h"

#include <shellapi.h>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

DWORD ProgramWaitMsFrom(const std::wstring& text) {
    const std::wstring t = mv::Trim(text);
    const bool number = !t.empty() && (iswdigit(t[0]) || t[0] == L'-');
    long seconds = number ? mv::ParseLong(t) : kDefaultProgramWaitSeconds;
    if (seconds < 1) seconds = 1;
    if (seconds > kMaxProgramWaitSeconds) seconds = kMaxProgramWaitSeconds;
    return static_cast<DWORD>(seconds) * 1000;
}

DWORD ProgramWaitMs() { return ProgramWaitMsFrom(ReadSetting(L"Mirovane", L"ProgramWaitTime")); }

bool WaitForStartedProgram(HANDLE process, const std::wstring& name) {
    const DWORD cap = ProgramWaitMs();
    WriteLog(mv::Format(Translate(L"MAIN", L"Waiting for [%s] to end (at most %lu seconds)").c_str(), name.c_str(),
                        static_cast<unsigned long>(cap / 1000)));
    const DWORD r = WaitForSingleObject(process, cap);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_TIMEOUT)
        WriteLog(mv::Format(Translate(L"MAIN", L"Still running after %lu seconds, not waiting any longer: %s").c_str(),
                            static_cast<unsigned long>(cap / 1000), name.c_str()));
    else
        WriteLog(mv::Format(L"WaitForSingleObject failed (%lu): %s", GetLastError(), name.c_str()));
    return false;
}

namespace {

struct WindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid) return TRUE;
    search->found = window;
    return FALSE;
}

// The started program should come up in front of the updater's own windows.
void BringToFront(HANDLE process) {
    const DWORD pid = GetProcessId(process);
    AllowSetForegroundWindow(pid);
    WindowSearch search{pid, nullptr};
    EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return;
    BringWindowToTop(search.found);
    SetForegroundWindow(search.found);
    SetActiveWindow(search.found);
}

}  // namespace

std::wstring RunFileMessage(const std::wstring& path, const std::wstring& params) {
    const size_t slash = path.find_last_of(L"\\/");
    std::wstring text = Translate(L"MAIN", L"Run file") + L"[" + path.substr(slash == std::wstring::npos ? 0 : slash + 1) + L"]";
    if (!params.empty()) text += L"[" + params + L"]";
    return text;
}

bool StartProgram(const std::wstring& file, const std::wstring& workDir, const std::wstring& params, HWND window,
                  bool wait) {
    std::wstring dir = workDir.empty() ? mv::PathDir(file) : workDir;
    if (!mv::FileExists(file)) return false;

    const std::wstring message = RunFileMessage(file, params);
    SendStatusText(window, message, 1);
    WriteLog(message);

    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpFile = file.c_str();
    sei.lpParameters = params.empty() ? nullptr : params.c_str();
    sei.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    sei.nShow = SW_SHOW;
    const bool started = ShellExecuteExW(&sei) != FALSE;
    mv::Handle process(sei.hProcess);
    if (wait && process) WaitForStartedProgram(process.get(), file);
    if (started && process) BringToFront(process.get());
    return started;
}
