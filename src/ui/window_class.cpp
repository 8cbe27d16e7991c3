#include "ui/window_class.h"

#include "notify/log.h"
#include "resources/resource_ids.h"
#include "util/text.h"

namespace mv {

bool RegisterDialogClass(const wchar_t* name) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(module, name, &existing)) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = module;
    wc.hIcon = LoadIconW(module, MAKEINTRESOURCEW(MV_ICON_APP));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = name;
    if (RegisterClassExW(&wc)) return true;
    WriteLog(Format(L"RegisterClassEx(%s) failed: %lu", name, GetLastError()));
    return false;
}

}  // namespace mv
