// frozenwindow <seconds>: creates a top-level window, prints its handle in decimal, then stops
// answering messages for the given time, as a host program that hangs would.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const DWORD seconds = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 60;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MirovaneFrozenWindow";
    RegisterClassW(&wc);
    HWND h = CreateWindowW(wc.lpszClassName, L"frozen window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                           wc.hInstance, nullptr);
    if (!h) return 1;
    SetPropW(h, L"mirovane.needmsg", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1974)));
    wprintf(L"%lu\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(h)));
    fflush(stdout);
    Sleep(seconds * 1000);
    return 0;
}
