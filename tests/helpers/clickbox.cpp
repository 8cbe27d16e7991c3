// clickbox <timeout-ms> <text> [ok|cancel|yes|no|retry|abort|ignore]
// Answers a message box the way a person would: waits for a dialog window of any process
// that shows a text containing <text>, presses the named button (OK by default) and prints
// "clicked". Prints "timeout" and exits with 1 when no such box appeared in time, and
// "nobutton" with 1 when the box offers no such button (none, hidden or disabled): a person
// could not have given that answer.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Search {
    const wchar_t* text;
    HWND found = nullptr;
};

BOOL CALLBACK FindText(HWND child, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    wchar_t buf[2048] = {};
    GetWindowTextW(child, buf, 2048);
    if (wcsstr(buf, s->text)) {
        s->found = child;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindBox(HWND top, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(top, cls, 64);
    if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(top)) return TRUE;
    Search inner{s->text};
    EnumChildWindows(top, FindText, reinterpret_cast<LPARAM>(&inner));
    if (inner.found) {
        s->found = top;
        return FALSE;
    }
    return TRUE;
}

int ButtonId(const std::wstring& name) {
    if (name == L"cancel") return IDCANCEL;
    if (name == L"yes") return IDYES;
    if (name == L"no") return IDNO;
    if (name == L"retry") return IDRETRY;
    if (name == L"abort") return IDABORT;
    if (name == L"ignore") return IDIGNORE;
    return IDOK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: clickbox <timeout-ms> <text> [button]\n");
        return 2;
    }
    const DWORD limit = wcstoul(argv[1], nullptr, 10);
    const int id = ButtonId(argc > 3 ? argv[3] : L"ok");
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limit) {
        Search s{argv[2]};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&s));
        if (s.found) {
            // The box is visible, so its buttons are final: Windows builds a message box with
            // only the buttons its type names, Wine hides or removes the others.
            HWND button = GetDlgItem(s.found, id);
            if (!button || !IsWindowVisible(button) || !IsWindowEnabled(button)) {
                wprintf(L"nobutton\n");
                fflush(stdout);
                return 1;
            }
            DWORD_PTR r = 0;
            SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
            wprintf(L"clicked\n");
            fflush(stdout);
            return 0;
        }
        Sleep(50);
    }
    wprintf(L"timeout\n");
    fflush(stdout);
    return 1;
}
