// uihelper <timeout-ms> <command> <class|-> <title|-> [arguments]
// Drives the updater's windows as a person would, for the black-box tests. The window is the
// first top-level window of that class whose caption contains the title ("-" matches any),
// visible unless the command only reads or posts; each command waits for it until the time
// limit. Prints key=value lines; exit code 0,
// or 1 with "timeout" when the window (or the awaited state) did not come in time.
//
//   find                          hwnd, rect (screen), client rect, caption
//   gone                          waits until no such window exists (visible or not)
//   text <id>                     text of control <id> (0: the window's caption)
//   waittext <id> <substring>     waits until the control's text contains the substring
//   progress <id>                 position and visibility of a progress bar
//   visible <id>                  visibility of a control
//   click <id>                    presses a button (BM_CLICK)
//   clickat <x> <y>               left click at a client point (links painted by the window)
//   clicklink <id>                waits for the link window <id> to show, then clicks the
//                                 window at its centre (the mouse passes through to the window)
//   key <esc|enter|altf4>         the key as the keyboard would deliver it to the window
//   post <message> <wparam> <lparam>   posts a message (the shell's tray-icon callbacks)
//   menu <n>                      waits for a pop-up menu and chooses its n-th item by keyboard
//                                 (counted from the top among the items the keyboard reaches:
//                                 separators and items it skips do not count); prints items=
//                                 (how many it reaches) and chosen= (the item highlighted on the
//                                 screen when Enter went), and fails unless that is the n-th
//   run <program> [arguments...]  starts the program (ShellExecuteEx, as runexit does) and
//                                 watches for the window until the program ends; prints
//                                 shown=0|1 (seen visible), exists=0|1 (seen at all, hidden
//                                 too) and exit=<code>; on time-out the program is killed
//   hidden                        finds the window even when it is hidden (prints visible=)
//   list                          prints every top-level window (class, caption, visibility)
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Query {
    std::wstring cls, title;
    bool includeHidden = false;
    HWND found = nullptr;
};

bool Matches(HWND w, const Query& q) {
    wchar_t cls[128] = {}, text[1024] = {};
    GetClassNameW(w, cls, 128);
    if (q.cls != L"-" && q.cls != cls) return false;
    GetWindowTextW(w, text, 1024);
    if (q.title != L"-" && !wcsstr(text, q.title.c_str())) return false;
    return q.includeHidden || IsWindowVisible(w);
}

BOOL CALLBACK Enum(HWND w, LPARAM p) {
    auto* q = reinterpret_cast<Query*>(p);
    if (Matches(w, *q)) {
        q->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const std::wstring& cls, const std::wstring& title, bool hidden) {
    Query q{cls, title, hidden};
    EnumWindows(Enum, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

void Out(const std::wstring& line) {
    // UTF-8, so the tests read Chinese status texts whatever the code page.
    const std::wstring l = line + L"\n";
    const int n = WideCharToMultiByte(CP_UTF8, 0, l.c_str(), static_cast<int>(l.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, l.c_str(), static_cast<int>(l.size()), bytes.data(), n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), n, &written, nullptr);
}

std::wstring Text(HWND w) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &len)) return L"";
    std::wstring s(len + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(s.data()), SMTO_ABORTIFHUNG, 2000, &got);
    s.resize(got);
    return s;
}

HWND Control(HWND top, int id) { return id == 0 ? top : GetDlgItem(top, id); }

void PostKey(HWND target, UINT down, UINT up, WPARAM vk, LPARAM extra) {
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), 0);
    PostMessageW(target, down, vk, 1 | (scan << 16) | extra);
    PostMessageW(target, up, vk, 1 | (scan << 16) | extra | (1u << 30) | (1u << 31));
}

// The thread's focus window, where the keyboard would send a key.
HWND FocusOf(HWND top) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    const DWORD thread = GetWindowThreadProcessId(top, nullptr);
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) return info.hwndFocus;
    return top;
}

BOOL CALLBACK ListOne(HWND w, LPARAM) {
    wchar_t cls[128] = {}, text[256] = {};
    GetClassNameW(w, cls, 128);
    GetWindowTextW(w, text, 256);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    Out(std::wstring(cls) + L" | " + text + L" | pid " + std::to_wstring(pid) +
        (IsWindowVisible(w) ? L" | visible" : L" | hidden"));
    return TRUE;
}

// The top row (within the window) of the item a pop-up menu highlights, read from the screen:
// the first row of a column near the left edge painted in the highlight colour; -1 for none.
// Menus belong to their process (Wine lets no other process read one, nor reports its
// highlight to accessibility clients), so the screen is the one witness. The column is
// copied in one piece, and read again until two copies agree, so that a half-painted
// change is not taken for an item.
int HighlightTopOnce(HWND popup) {
    RECT r;
    if (!GetWindowRect(popup, &r) || r.bottom <= r.top) return -1;
    const int height = r.bottom - r.top;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = 1;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP column = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    int top = -1;
    if (mem && column && bits) {
        HGDIOBJ old = SelectObject(mem, column);
        BitBlt(mem, 0, 0, 1, height, screen, r.left + 6, r.top, SRCCOPY);
        GdiFlush();
        auto rgb = [](COLORREF c) { return static_cast<DWORD>((GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c)); };
        const DWORD highlight = rgb(GetSysColor(COLOR_HIGHLIGHT)), menuHighlight = rgb(GetSysColor(COLOR_MENUHILIGHT));
        const DWORD* px = static_cast<const DWORD*>(bits);
        for (int y = 0; y < height && top < 0; ++y)
            if ((px[y] & 0xFFFFFF) == highlight || (px[y] & 0xFFFFFF) == menuHighlight) top = y;
        SelectObject(mem, old);
    }
    if (column) DeleteObject(column);
    if (mem) DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return top;
}

int HighlightTop(HWND popup) {
    int last = HighlightTopOnce(popup);
    for (int i = 0; i < 50; ++i) {
        Sleep(30);
        const int now = HighlightTopOnce(popup);
        if (now == last) break;
        last = now;
    }
    return last;
}

// Presses Down and waits until the highlight moves; the new top row, or the old one when it
// did not move within the limit (a menu of one item).
int PressDown(HWND popup, DWORD limit) {
    const int before = HighlightTop(popup);
    PostKey(popup, WM_KEYDOWN, WM_KEYUP, VK_DOWN, 0);
    const ULONGLONG end = GetTickCount64() + limit;
    int now = before;
    while ((now = HighlightTop(popup)) == before && GetTickCount64() < end) Sleep(20);
    return now;
}

int ChooseMenuItem(HWND popup, int wanted, DWORD limit) {
    // One round with Down: the items the keyboard reaches, until it comes back to one it saw.
    std::vector<int> tops;
    for (int top; (top = PressDown(popup, limit)) >= 0 &&
                  std::find(tops.begin(), tops.end(), top) == tops.end() && tops.size() < 40;)
        tops.push_back(top);
    std::sort(tops.begin(), tops.end());
    auto ordinal = [&](int top) {  // 1-based, counted from the menu's top; 0: none
        const auto at = std::find(tops.begin(), tops.end(), top);
        return at == tops.end() ? 0 : static_cast<int>(at - tops.begin()) + 1;
    };
    for (size_t presses = 0; ordinal(HighlightTop(popup)) != wanted && presses < tops.size(); ++presses)
        PressDown(popup, limit);
    const int chosen = ordinal(HighlightTop(popup));
    wchar_t buf[64];
    swprintf(buf, 64, L"items=%zu", tops.size());
    Out(buf);
    std::wstring rows;
    for (int top : tops) rows += (rows.empty() ? L"" : L",") + std::to_wstring(top);
    Out(L"rows=" + rows);  // the items' top rows, for a failure's message
    swprintf(buf, 64, L"chosen=%d", chosen);
    Out(buf);
    if (chosen != wanted) {
        PostKey(popup, WM_KEYDOWN, WM_KEYUP, VK_ESCAPE, 0);  // leaves the menu, chooses nothing
        Out(chosen ? L"notreached" : L"nohighlight");
        return 1;
    }
    PostKey(popup, WM_KEYDOWN, WM_KEYUP, VK_RETURN, 0);
    const ULONGLONG end = GetTickCount64() + limit;
    while (IsWindow(popup) && IsWindowVisible(popup) && GetTickCount64() < end) Sleep(20);
    if (IsWindow(popup) && IsWindowVisible(popup)) {
        Out(L"notclosed");
        return 1;
    }
    return 0;
}

int RunAndWatch(const std::wstring& cls, const std::wstring& title, int argc, wchar_t** argv, DWORD limit) {
    std::wstring params;
    for (int i = 6; i < argc; ++i) {
        if (i > 6) params += L' ';
        const std::wstring a = argv[i];
        params += a.find_first_of(L" \t") == std::wstring::npos ? a : L"\"" + a + L"\"";
    }
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"open";
    sei.lpFile = argv[5];
    sei.lpParameters = params.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei) || !sei.hProcess) {
        Out(L"notstarted");
        return 1;
    }
    bool shown = false, exists = false;
    const ULONGLONG start = GetTickCount64();
    DWORD wait = WAIT_TIMEOUT;
    while (wait == WAIT_TIMEOUT && GetTickCount64() - start < limit) {
        if (HWND w = Find(cls, title, true)) {
            exists = true;
            shown = shown || IsWindowVisible(w);
        }
        wait = WaitForSingleObject(sei.hProcess, 20);
    }
    wchar_t buf[64];
    swprintf(buf, 64, L"shown=%d", shown ? 1 : 0);
    Out(buf);
    swprintf(buf, 64, L"exists=%d", exists ? 1 : 0);
    Out(buf);
    if (wait != WAIT_OBJECT_0) {
        TerminateProcess(sei.hProcess, 124);
        CloseHandle(sei.hProcess);
        Out(L"timeout");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(sei.hProcess, &code);
    CloseHandle(sei.hProcess);
    swprintf(buf, 64, L"exit=%lu", static_cast<unsigned long>(code));
    Out(buf);
    return 0;
}

int Usage() {
    fwprintf(stderr, L"usage: uihelper <timeout-ms> <command> <class|-> <title|-> [arguments]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return Usage();
    const DWORD limit = wcstoul(argv[1], nullptr, 10);
    const std::wstring cmd = argv[2], cls = argv[3], title = argv[4];
    const ULONGLONG start = GetTickCount64();
    auto timeLeft = [&] { return GetTickCount64() - start < limit; };
    auto arg = [&](int i) { return i < argc ? std::wstring(argv[i]) : std::wstring(); };

    if (cmd == L"list") {
        EnumWindows(ListOne, 0);
        return 0;
    }
    if (cmd == L"run") return argc > 5 ? RunAndWatch(cls, title, argc, argv, limit) : Usage();
    if (cmd == L"gone") {
        while (timeLeft()) {
            if (!Find(cls, title, true)) {
                Out(L"gone=1");
                return 0;
            }
            Sleep(50);
        }
        Out(L"timeout");
        return 1;
    }

    HWND top = nullptr;
    // Texts and states are read from hidden windows too; "find" and "click" want visible ones.
    const bool hidden = cmd == L"hidden" || cmd == L"text" || cmd == L"waittext" || cmd == L"progress" ||
                        cmd == L"visible" || cmd == L"post";
    while (timeLeft() && !(top = Find(cls, title, hidden))) Sleep(50);
    if (!top) {
        Out(L"timeout");
        return 1;
    }
    wchar_t buf[256];

    if (cmd == L"find" || cmd == L"hidden") {
        RECT r, c;
        GetWindowRect(top, &r);
        GetClientRect(top, &c);
        POINT origin{0, 0};
        ClientToScreen(top, &origin);
        swprintf(buf, 256, L"hwnd=%lu", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(top)));
        Out(buf);
        swprintf(buf, 256, L"rect=%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
        Out(buf);
        swprintf(buf, 256, L"client=%ld,%ld,%ld,%ld", origin.x, origin.y, origin.x + c.right, origin.y + c.bottom);
        Out(buf);
        swprintf(buf, 256, L"visible=%d", IsWindowVisible(top) ? 1 : 0);
        Out(buf);
        Out(L"caption=" + Text(top));
        return 0;
    }
    if (cmd == L"text" || cmd == L"waittext") {
        const int id = _wtoi(arg(5).c_str());
        const std::wstring want = arg(6);
        do {
            HWND c = Control(top, id);
            if (c) {
                const std::wstring t = Text(c);
                if (cmd == L"text" || t.find(want) != std::wstring::npos) {
                    Out(L"text=" + t);
                    return 0;
                }
            }
            Sleep(50);
        } while (timeLeft() && IsWindow(top));
        Out(L"timeout");
        return 1;
    }
    if (cmd == L"progress" || cmd == L"visible") {
        HWND c = Control(top, _wtoi(arg(5).c_str()));
        if (!c) {
            Out(L"nocontrol");
            return 1;
        }
        if (cmd == L"progress") {
            DWORD_PTR pos = 0;
            SendMessageTimeoutW(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos);
            swprintf(buf, 256, L"pos=%lu", static_cast<unsigned long>(pos));
            Out(buf);
        }
        swprintf(buf, 256, L"visible=%d", IsWindowVisible(c) ? 1 : 0);
        Out(buf);
        return 0;
    }
    if (cmd == L"click") {
        HWND c = Control(top, _wtoi(arg(5).c_str()));
        if (!c) {
            Out(L"nocontrol");
            return 1;
        }
        PostMessageW(c, BM_CLICK, 0, 0);
        Out(L"clicked=1");
        return 0;
    }
    if (cmd == L"clickat") {
        const LPARAM at = MAKELPARAM(_wtoi(arg(5).c_str()), _wtoi(arg(6).c_str()));
        PostMessageW(top, WM_MOUSEMOVE, 0, at);
        PostMessageW(top, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(top, WM_LBUTTONUP, 0, at);
        Out(L"clicked=1");
        return 0;
    }
    if (cmd == L"clicklink") {
        HWND link = nullptr;
        while (timeLeft() && !((link = GetDlgItem(top, _wtoi(arg(5).c_str()))) && IsWindowVisible(link))) Sleep(50);
        if (!link || !IsWindowVisible(link)) {
            Out(L"timeout");
            return 1;
        }
        RECT r;
        GetWindowRect(link, &r);
        POINT at{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        ScreenToClient(top, &at);
        const LPARAM lp = MAKELPARAM(at.x, at.y);
        PostMessageW(top, WM_MOUSEMOVE, 0, lp);
        PostMessageW(top, WM_LBUTTONDOWN, MK_LBUTTON, lp);
        PostMessageW(top, WM_LBUTTONUP, 0, lp);
        swprintf(buf, 256, L"clicked=%ld,%ld", at.x, at.y);
        Out(buf);
        return 0;
    }
    if (cmd == L"key") {
        const std::wstring k = arg(5);
        if (k == L"altf4") {
            // Alt held: the context bit, as the keyboard sends it.
            PostKey(top, WM_SYSKEYDOWN, WM_SYSKEYUP, VK_F4, 1u << 29);
        } else {
            PostKey(FocusOf(top), WM_KEYDOWN, WM_KEYUP, k == L"esc" ? VK_ESCAPE : VK_RETURN, 0);
        }
        Out(L"sent=1");
        return 0;
    }
    if (cmd == L"post") {
        PostMessageW(top, wcstoul(arg(5).c_str(), nullptr, 0), wcstoul(arg(6).c_str(), nullptr, 0),
                     wcstol(arg(7).c_str(), nullptr, 0));
        Out(L"posted=1");
        return 0;
    }
    if (cmd == L"menu") {
        // Chosen with the keyboard; what was chosen is read from the screen.
        while (timeLeft()) {
            Query q{L"#32768", L"-", false};
            EnumWindows(Enum, reinterpret_cast<LPARAM>(&q));
            if (q.found) return ChooseMenuItem(q.found, _wtoi(arg(5).c_str()), 5000);
            Sleep(50);
        }
        Out(L"timeout");
        return 1;
    }
    return Usage();
}
