#include "ui/shell_open.h"

#include <shellapi.h>

#include "notify/log.h"
#include "util/shell_unelevated.h"
#include "util/text.h"

bool OpenUrlInDefaultBrowser(HWND owner, const std::wstring& url) {
    const HRESULT hr = ShellExecuteUnelevated(url);
    if (SUCCEEDED(hr)) return true;
    WriteLog(mv::Format(L"IShellDispatch2::ShellExecute through the desktop failed (0x%08lX): opening %s directly",
                        static_cast<unsigned long>(hr), url.c_str()));
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.hwnd = owner;
    sei.lpVerb = L"open";
    sei.lpFile = url.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&sei)) return true;
    WriteLog(mv::Format(L"ShellExecuteEx failed (%lu): %s", GetLastError(), url.c_str()));
    return false;
}
