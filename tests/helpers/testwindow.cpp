// testwindow: creates one top-level window, prints its handle in decimal on stdout and
// keeps it alive until the window is closed or the process is killed.
#include <windows.h>

#include <cstdio>

static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(h, m, w, l);
}

int wmain() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MirovaneTestWindow";
    RegisterClassW(&wc);
    HWND h = CreateWindowW(wc.lpszClassName, L"test window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                           wc.hInstance, nullptr);
    if (!h) return 1;
    wprintf(L"%lu\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(h)));
    fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
