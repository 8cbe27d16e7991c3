// The common controls library, loaded when the first window that needs it is made rather than
// at every start: a silent session shows no window, and under Wine the library costs each
// start about 3 MB and a seventh of its time. Through the process's manifest it is version 6.
#pragma once
#include <windows.h>
#include <commctrl.h>

namespace mv {

// Loads the library and registers its window classes (progress bar, tool tips) once; call
// before a dialog or window that uses them is made. False, logged, when it cannot be loaded.
bool LoadCommonControls();

// The library's subclassing functions (false / 0 when it cannot be loaded).
bool SetSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data);
bool RemoveSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id);
LRESULT CallNextSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace mv
