#include "ui/common_controls.h"

#include <mutex>

#include "notify/log.h"
#include "util/text.h"

namespace mv {
namespace {

struct Library {
    HMODULE module = nullptr;
    decltype(&::SetWindowSubclass) setSubclass = nullptr;
    decltype(&::RemoveWindowSubclass) removeSubclass = nullptr;
    decltype(&::DefSubclassProc) defSubclass = nullptr;
};

template <typename F>
F Function(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const Library& Loaded() {
    static Library lib;
    static std::once_flag once;
    std::call_once(once, [] {
        // By name, so that the manifest's version 6 is found; the search is limited to the
        // system directory, so a file beside the program is never loaded in its place.
        HMODULE module = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        // A system without the search flags (Windows 7 before KB2533623) finds it as an
        // import would: through the manifest first.
        if (!module && GetLastError() == ERROR_INVALID_PARAMETER) module = LoadLibraryW(L"comctl32.dll");
        if (!module) {
            WriteLog(Format(L"LoadLibrary(comctl32.dll) failed (%lu): windows are shown without common controls",
                            GetLastError()));
            return;
        }
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
        if (auto initialize = Function<decltype(&::InitCommonControlsEx)>(module, "InitCommonControlsEx"))
            initialize(&init);
        lib.module = module;
        lib.setSubclass = Function<decltype(&::SetWindowSubclass)>(module, "SetWindowSubclass");
        lib.removeSubclass = Function<decltype(&::RemoveWindowSubclass)>(module, "RemoveWindowSubclass");
        lib.defSubclass = Function<decltype(&::DefSubclassProc)>(module, "DefSubclassProc");
    });
    return lib;
}

}  // namespace

bool LoadCommonControls() { return Loaded().module != nullptr; }

bool SetSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data) {
    const Library& lib = Loaded();
    return lib.setSubclass && lib.setSubclass(window, proc, id, data) != FALSE;
}

bool RemoveSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id) {
    const Library& lib = Loaded();
    return lib.removeSubclass && lib.removeSubclass(window, proc, id) != FALSE;
}

LRESULT CallNextSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const Library& lib = Loaded();
    return lib.defSubclass ? lib.defSubclass(window, message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace mv
