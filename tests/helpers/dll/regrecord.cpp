// regrecord.dll: a library whose DllRegisterServer records that it was called, in
// "<this library's path>.registered" (its path, one line per call), so a test can see the
// registration happen, once, for the installed file.
#include <windows.h>

static HMODULE g_self;

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = self;
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    wchar_t path[MAX_PATH + 16] = {};
    const DWORD n = GetModuleFileNameW(g_self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_FAIL;
    wchar_t record[MAX_PATH + 16];
    lstrcpyW(record, path);
    lstrcatW(record, L".registered");
    HANDLE f = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return E_FAIL;
    char line[4 * (MAX_PATH + 16)];
    const int len = WideCharToMultiByte(CP_UTF8, 0, path, -1, line, sizeof(line) - 2, nullptr, nullptr);
    DWORD put = 0;
    if (len > 0) {
        line[len - 1] = '\n';
        WriteFile(f, line, static_cast<DWORD>(len), &put, nullptr);
    }
    CloseHandle(f);
    return S_OK;
}
