// proclist: prints the process list as EnumProcesses gives it, one "<id> <image path>" line
// per entry in list order (the path empty when the process cannot be opened). Tests use it
// to see which program stands first in the list of a fresh Wine session.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <vector>

int wmain() {
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (;;) {
        if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) {
            fwprintf(stderr, L"EnumProcesses failed: %lu\n", GetLastError());
            return 1;
        }
        if (bytes / sizeof(DWORD) < ids.size()) break;
        ids.resize(ids.size() * 2);
    }
    ids.resize(bytes / sizeof(DWORD));
    for (DWORD pid : ids) {
        wchar_t path[MAX_PATH * 2] = L"";
        DWORD size = MAX_PATH * 2;
        if (HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
            if (!QueryFullProcessImageNameW(p, 0, path, &size)) path[0] = L'\0';
            CloseHandle(p);
        }
        wprintf(L"%lu %ls\n", pid, path);
    }
    return 0;
}
