// runexit <timeout-ms> <program> [arguments...]
// Starts a program the way a person or a host program would (ShellExecuteEx), waits for it
// and prints its full 32-bit exit code on stdout ("exit=<n>"), which a Linux parent cannot
// see through Wine's 8-bit process status. On time-out the program is killed and 124 returned.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: runexit <timeout-ms> <program> [arguments...]\n");
        return 2;
    }
    DWORD timeout = wcstoul(argv[1], nullptr, 10);
    std::wstring params;
    for (int i = 3; i < argc; ++i) {
        if (i > 3) params += L' ';
        std::wstring a = argv[i];
        params += a.find_first_of(L" \t") == std::wstring::npos ? a : L"\"" + a + L"\"";
    }
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"open";
    sei.lpFile = argv[2];
    sei.lpParameters = params.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei) || !sei.hProcess) {
        fwprintf(stderr, L"runexit: cannot start %ls (error %lu)\n", argv[2], GetLastError());
        return 2;
    }
    if (WaitForSingleObject(sei.hProcess, timeout) != WAIT_OBJECT_0) {
        TerminateProcess(sei.hProcess, 124);
        wprintf(L"timeout\n");
        return 124;
    }
    DWORD code = 0;
    GetExitCodeProcess(sei.hProcess, &code);
    wprintf(L"exit=%lu\n", static_cast<unsigned long>(code));
    fflush(stdout);
    CloseHandle(sei.hProcess);
    return 0;
}
