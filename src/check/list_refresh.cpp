#include "check/list_refresh.h"

#include <windows.h>
#include <shellapi.h>

#include "config/settings.h"
#include "download/http.h"
#include "updatelist/list_cache.h"
#include "util/files.h"
#include "util/handle.h"

void RefreshListInBackground() {
    WriteCheckStamp(HourStamp());
    const std::wstring exe = mv::ModulePath(), dir = GetAppDir();
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpFile = exe.c_str();
    sei.lpParameters = ServerTagSeen() ? L"downparam1" : L"downparam0";
    sei.lpDirectory = dir.c_str();
    sei.nShow = SW_HIDE;
    // Nobody waits for the copy; its handle is only released.
    ShellExecuteExW(&sei);
    mv::Handle process(sei.hProcess);
}
