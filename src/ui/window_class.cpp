#include "ui/window_class.h"

#include "notify/log.h"
#include "resources/resource_ids.h"
#include "util/text.h"

namespace mv {

bool RegisterWindowClass(WNDCLASSEXW wc) {
    wc.cbSize = sizeof(wc);
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(wc.hInstance, wc.lpszClassName, &existing)) return true;
    if (RegisterClassExW(&wc)) return true;
    const DWORD error = GetLastError();
    // Another thread may have registered it in the meantime.
    if (error == ERROR_CLASS_ALREADY_EXISTS) return true;
    WriteLog(Format(L"RegisterClassEx(%s) failed: %lu", wc.lpszClassName, error));
    return false;
}

bool RegisterDialogClass(const wchar_t* name) {
    WNDCLASSEXW wc{};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(MV_ICON_APP));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = name;
    return RegisterWindowClass(wc);
}

}  // namespace mv
