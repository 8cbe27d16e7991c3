// standin: a stand-in installer. Records that it ran in "<its own path>.ran" (its command line).
#include <windows.h>

#include <cstdio>

int wmain() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t marker[MAX_PATH + 8] = {};
    swprintf(marker, MAX_PATH + 8, L"%ls.ran", self);
    FILE* f = _wfopen(marker, L"wb");
    if (!f) return 1;
    fputws(GetCommandLineW(), f);
    fclose(f);
    return 0;
}
