// mirovane-sample-host: a minimal host program that follows an update.
//
//   mirovane-sample-host [--out FILE] [--no-needmsg] [--paused] [--exit-when-killed]
//                        [--pause-file FILE] [--timeout SECONDS] [--auto-continue on|off]
//                        [--run PROGRAM [ARGS...]]
//
// It creates a window, asks for the updater's messages (property "mirovane.needmsg" = 1974,
// unless --no-needmsg), and with --run starts PROGRAM with ARGS and the window's decimal handle
// as its last word ("/<handle>"), for example:  --run mirovane.exe /silence
// Every message it receives is printed as one UTF-8 line on stdout (and into FILE with --out):
//   window <handle>                 first line, once the window exists
//   stage <n> <name> files <count>  1974
//   log <text>                      1975
//   count <done>/<total>            1976
//   description <text>              1977
//   progress <bytes>/<size>         1978
//   status <number> <text>          1034
//   step <n>                        a step of the updater's progress window ended (0x470)
//   continue                        the progress window's copy follows (WM_COMMAND 0x3024)
//   exit <code>                     the started program has ended
//   prop <name>=<value>             the window's properties, printed when the host ends
// Line feeds and carriage returns inside texts are printed as \n and \r.
// The second line is "version <n>", the version this program was built as. Started without
// --out (as the updater starts it again), it writes to the file named on the first line of
// "<this program>.out" beside it, when there is one, else to the file named by the environment
// variable MIROVANE_SAMPLE_HOST_OUT, when set. (The desktop shell, which an elevated updater
// asks to start the program, hands on its own environment, not the updater's.)
//
// Holding the update: --paused sets "mirovane.paused" to 1974 at start; the key P toggles it;
// with --pause-file the update is held while FILE exists. --exit-when-killed (or the key K)
// sets "mirovane.exitwhenwndkilled", so that the update ends when this window is gone.
// The host ends when the started program has ended, when its window is closed, or after
// --timeout seconds (default 120). --auto-continue puts a check box with the id
// MIROVANE_ID_AUTO_CONTINUE on the window, checked (on) or not (off).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "mirovane_host.h"

#ifndef MIROVANE_SAMPLE_HOST_VERSION
#define MIROVANE_SAMPLE_HOST_VERSION 1
#endif

namespace {

HANDLE g_out = INVALID_HANDLE_VALUE;
std::wstring g_pauseFile;
HANDLE g_child = nullptr;

void Print(const std::wstring& line) {
    std::wstring text = line + L"\n";
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
    if (g_out != INVALID_HANDLE_VALUE) {
        DWORD put = 0;
        WriteFile(g_out, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    }
}

// Texts arrive as addresses inside this process: the updater copied them there.
std::wstring TextAt(WPARAM address) {
    if (!address) return L"(not transferred)";
    std::wstring text = reinterpret_cast<const wchar_t*>(address);
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') out += L"\\n";
        else if (c == L'\r') out += L"\\r";
        else out += c;
    }
    return out;
}

const wchar_t* StageName(WPARAM stage) {
    static const wchar_t* const names[] = {L"UpdateNone",          L"UpdateCheckRemote",   L"UpdateCheckRemoteError",
                                           L"UpdateCheckRemoteOk", L"UpdateDownload",      L"UpdateDownloadError",
                                           L"UpdateDownloadOk",    L"UpdateCheckLocal",    L"UpdateCheckLocalError",
                                           L"UpdateCheckLocalOk",  L"UpdateCopy",          L"UpdateCopyError",
                                           L"UpdateCopyOk",        L"UpdateEnd"};
    return stage <= MIROVANE_STAGE_END ? names[stage] : L"-";
}

void SetSwitch(HWND window, const wchar_t* property, bool on) {
    if (on)
        SetPropW(window, property, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(MIROVANE_ON)));
    else
        RemovePropW(window, property);
}

bool SwitchOn(HWND window, const wchar_t* property) {
    return reinterpret_cast<UINT_PTR>(GetPropW(window, property)) == MIROVANE_ON;
}

BOOL CALLBACK PrintProp(HWND, LPWSTR name, HANDLE value, ULONG_PTR) {
    if (HIWORD(reinterpret_cast<UINT_PTR>(name)))  // only properties named by a string
        Print(std::wstring(L"prop ") + name + L"=" + std::to_wstring(reinterpret_cast<INT_PTR>(value)));
    return TRUE;
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case MIROVANE_MSG_STAGE:
            Print(L"stage " + std::to_wstring(w) + L" " + StageName(w) + L" files " + std::to_wstring(l));
            return 0;
        case MIROVANE_MSG_LOG:
            Print(L"log " + TextAt(w));
            return 0;
        case MIROVANE_MSG_FILE_COUNT:
            Print(L"count " + std::to_wstring(w) + L"/" + std::to_wstring(l));
            return 0;
        case MIROVANE_MSG_DESCRIPTION:
            Print(L"description " + TextAt(w));
            return 0;
        case MIROVANE_MSG_PROGRESS:
            Print(L"progress " + std::to_wstring(l) + L"/" + std::to_wstring(w));
            return 0;
        case MIROVANE_MSG_STATUS_TEXT:
            Print(L"status " + std::to_wstring(static_cast<long>(l)) + L" " + TextAt(w));
            return 0;
        case MIROVANE_MSG_STEP_ENDED:
            Print(L"step " + std::to_wstring(static_cast<long>(l)));
            return 0;
        case WM_COMMAND:
            if (LOWORD(w) == MIROVANE_CMD_CONTINUE) Print(L"continue");
            return 0;
        case WM_KEYDOWN:
            if (w == 'P' || w == 'K') {
                const wchar_t* prop = w == 'P' ? MIROVANE_PROP_PAUSED : MIROVANE_PROP_EXIT_WHEN_KILLED;
                SetSwitch(window, prop, !SwitchOn(window, prop));
                Print(std::wstring(prop) + (SwitchOn(window, prop) ? L" on" : L" off"));
            }
            return 0;
        case WM_TIMER:
            if (!g_pauseFile.empty()) {
                bool held = GetFileAttributesW(g_pauseFile.c_str()) != INVALID_FILE_ATTRIBUTES;
                if (held != SwitchOn(window, MIROVANE_PROP_PAUSED)) SetSwitch(window, MIROVANE_PROP_PAUSED, held);
            }
            return 0;
        case WM_DESTROY:
            EnumPropsExW(window, PrintProp, 0);
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool needMsg = true, paused = false, exitWhenKilled = false;
    std::wstring autoContinue;
    DWORD timeoutMs = 120000;
    std::wstring program, params;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--out" && i + 1 < argc)
            g_out = CreateFileW(argv[++i], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        else if (a == L"--no-needmsg") needMsg = false;
        else if (a == L"--paused") paused = true;
        else if (a == L"--exit-when-killed") exitWhenKilled = true;
        else if (a == L"--pause-file" && i + 1 < argc) g_pauseFile = argv[++i];
        else if (a == L"--auto-continue" && i + 1 < argc) autoContinue = argv[++i];
        else if (a == L"--timeout" && i + 1 < argc) timeoutMs = wcstoul(argv[++i], nullptr, 10) * 1000;
        else if (a == L"--run" && i + 1 < argc) {
            program = argv[++i];
            for (++i; i < argc; ++i) params += std::wstring(argv[i]) + L" ";
        } else {
            fwprintf(stderr, L"unknown argument: %ls\n", argv[i]);
            return 2;
        }
    }

    if (g_out == INVALID_HANDLE_VALUE) {
        wchar_t self[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH - 4);
        char name[MAX_PATH] = {};
        DWORD got = 0;
        HANDLE named = n > 0 ? CreateFileW((std::wstring(self) + L".out").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
        if (named != INVALID_HANDLE_VALUE) {
            ReadFile(named, name, MAX_PATH - 1, &got, nullptr);
            CloseHandle(named);
            name[got] = 0;
            for (char* c = name; *c; ++c)
                if (*c == '\r' || *c == '\n') *c = 0;
            if (name[0])
                g_out = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
    }

    if (g_out == INVALID_HANDLE_VALUE) {
        wchar_t env[MAX_PATH] = {};
        DWORD n = GetEnvironmentVariableW(L"MIROVANE_SAMPLE_HOST_OUT", env, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            g_out = CreateFileW(env, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MirovaneSampleHost";
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    RegisterClassW(&wc);
    HWND window = CreateWindowW(wc.lpszClassName, L"Sample host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320,
                                120, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) return 1;
    if (!autoContinue.empty()) {
        HWND box = CreateWindowW(L"BUTTON", L"Install at once", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 8, 8, 200, 20,
                                 window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(MIROVANE_ID_AUTO_CONTINUE)),
                                 wc.hInstance, nullptr);
        SendMessageW(box, BM_SETCHECK, autoContinue == L"on" ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (needMsg) SetSwitch(window, MIROVANE_PROP_NEEDMSG, true);
    SetSwitch(window, MIROVANE_PROP_PAUSED, paused);
    SetSwitch(window, MIROVANE_PROP_EXIT_WHEN_KILLED, exitWhenKilled);
    SetTimer(window, 1, 100, nullptr);
    // Visible, as a host program's main window is: the updater closes a running host program
    // through its visible windows.
    ShowWindow(window, SW_SHOWNOACTIVATE);
    const std::wstring handle = std::to_wstring(reinterpret_cast<UINT_PTR>(window));
    Print(L"window " + handle);
    Print(L"version " + std::to_wstring(MIROVANE_SAMPLE_HOST_VERSION));

    if (!program.empty()) {
        params += L"/" + handle;  // the command form the README uses: /silence /<handle>
        SHELLEXECUTEINFOW sei{};
        sei.cbSize = sizeof(sei);
        sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        sei.lpVerb = L"open";
        sei.lpFile = program.c_str();
        sei.lpParameters = params.c_str();
        sei.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExW(&sei) || !sei.hProcess) {
            Print(L"cannot start " + program + L" (error " + std::to_wstring(GetLastError()) + L")");
            DestroyWindow(window);
            return 1;
        }
        g_child = sei.hProcess;
    }

    const DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            Print(L"timeout");
            DestroyWindow(window);
            break;
        }
        DWORD count = g_child ? 1 : 0;
        DWORD r = MsgWaitForMultipleObjects(count, &g_child, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (g_child && r == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(g_child, &code);
            CloseHandle(g_child);
            g_child = nullptr;
            Print(L"exit " + std::to_wstring(code));
            if (IsWindow(window)) DestroyWindow(window);
        }
        MSG msg;
        bool quit = false;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) quit = true;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (quit) break;
    }
    if (g_child) CloseHandle(g_child);
    if (g_out != INVALID_HANDLE_VALUE) CloseHandle(g_out);
    return 0;
}
