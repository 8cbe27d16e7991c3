// fakehost <close|ignoreclose|refuse> [file...]: a host program for the closing tests.
// Shows one visible top-level window and holds each named file open without sharing.
// close: ends on WM_CLOSE; ignoreclose: ignores WM_CLOSE; refuse: also answers
// WM_QUERYENDSESSION with 0. Prints "ready" when set up; ends by itself after two minutes.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

static std::wstring g_mode;

static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_QUERYENDSESSION:
        return g_mode == L"refuse" ? 0 : 1;
    case WM_CLOSE:
        if (g_mode != L"close") return 0;
        break;
    case WM_TIMER:
        PostQuitMessage(3);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(h, m, w, l);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    g_mode = argv[1];
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        HANDLE f = CreateFileW(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            wprintf(L"cannot hold %ls: %lu\n", argv[i], GetLastError());
            return 1;
        }
        held.push_back(f);
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MirovaneFakeHost";
    RegisterClassW(&wc);
    HWND h = CreateWindowW(wc.lpszClassName, L"fake host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                           nullptr, wc.hInstance, nullptr);
    if (!h) return 1;
    SetTimer(h, 1, 120000, nullptr);
    wprintf(L"ready\n");
    fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    for (HANDLE f : held) CloseHandle(f);
    return static_cast<int>(msg.wParam);
}
