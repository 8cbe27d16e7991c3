#include "notify/log.h"

#include "config/settings.h"
#include "mirovane_host.h"
#include "notify/host_windows.h"
#include "util/handle.h"
#include "util/locks.h"
#include "util/text.h"

const wchar_t kLogFileLockName[] = L"Mirovane.LogFile";

namespace {
// Appending a line takes microseconds; a holder that keeps the lock longer is stuck, and the
// line is then written without it rather than lost or waited for without end.
constexpr DWORD kLogFileLockWaitMs = 5000;
}  // namespace

std::wstring LogLine(const SYSTEMTIME& t, const std::wstring& text, bool milliseconds) {
    std::wstring stamp =
        mv::Format(L"[%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    if (milliseconds) stamp += mv::Format(L".%03u", t.wMilliseconds);
    return stamp + L"]" + text + L"\r\n";
}

bool LogTimingOn() { return ReadSettingBool(L"Mirovane", L"LogTiming", L"0"); }

void WriteLog(const std::wstring& text) {
    const std::wstring appDir = GetAppDir();
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) {
        // The host is told what happened, not where the updater keeps its files.
        HostWindows::SendText(e, MIROVANE_MSG_LOG, mv::RemoveAll(text, appDir), 0);
    }

    const std::wstring name = ReadSetting(L"Mirovane", L"Log");
    if (name.empty()) return;
    CrossProcessLock lock(kLogFileLockName, kLogFileLockWaitMs);
    const std::wstring path = mv::ReduceBackslashes(appDir + L"\\" + name);
    // Append access only: every write lands at the end, whatever the file's size.
    mv::Handle f(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f)  // never truncate: a file that appeared meanwhile is appended to as well
        f.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::string line = mv::ToCodePage(LogLine(now, text, LogTimingOn()), CP_ACP);
    const LARGE_INTEGER zero{};
    SetFilePointerEx(f.get(), zero, nullptr, FILE_END);
    DWORD put = 0;
    WriteFile(f.get(), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

void SendStatusText(HWND window, const std::wstring& text, LPARAM number) {
    const std::wstring status = mv::RemoveAll(text, L"{zip}{process}");
    if (!window) return;
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) {
        if (e.window != window || !e.process) continue;
        HostWindows::SendText(e, MIROVANE_MSG_STATUS_TEXT, mv::RemoveAll(status, GetAppDir()), number);
        return;
    }
    HostWindows::Send(window, MIROVANE_MSG_STATUS_TEXT, reinterpret_cast<WPARAM>(status.c_str()), number);
}
