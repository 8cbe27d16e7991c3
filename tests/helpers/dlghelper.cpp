// dlghelper <timeout-ms> <command> <caption> [args]
// Drives a dialog the way a person would, finding it among the visible top-level dialogs by
// a caption containing <caption>, within the time limit:
//   wait <caption>                 prints "found" once the dialog is there
//   gone <caption>                 prints "gone" once no such dialog is left
//   text <caption> <id>            prints "text=<control text>"
//   click <caption> <id>           waits until control <id> is enabled, presses it, prints "clicked"
//   clicktext <caption> <id> <t>   the same once the control's text is <t>
//   shot <caption> <id> <file>     writes a 24-bit BMP of control <id> as on screen, prints "saved"
// Exits with 1 and prints "timeout" when the time runs out.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Search {
    const wchar_t* caption;
    HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND top, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    wchar_t cls[64] = {}, text[512] = {};
    GetClassNameW(top, cls, 64);
    GetWindowTextW(top, text, 512);
    if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(top) && wcsstr(text, s->caption)) {
        s->found = top;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const wchar_t* caption) {
    Search s{caption};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::wstring Text(HWND w) {
    wchar_t buf[2048] = {};
    GetWindowTextW(w, buf, 2048);
    return buf;
}

bool SaveShot(HWND w, const wchar_t* file) {
    RECT r;
    GetWindowRect(w, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof(bi);
    bi.biWidth = width;
    bi.biHeight = height;
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    bi.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(stride * static_cast<DWORD>(height));
    GetDIBits(mem, bmp, 0, static_cast<UINT>(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(bi);
    fh.bfSize = fh.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* f = _wfopen(file, L"wb");
    if (!f) return false;
    fwrite(&fh, sizeof(fh), 1, f);
    fwrite(&bi, sizeof(bi), 1, f);
    fwrite(pixels.data(), 1, pixels.size(), f);
    fclose(f);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fwprintf(stderr, L"usage: dlghelper <timeout-ms> <command> <caption> [args]\n");
        return 2;
    }
    const DWORD limit = wcstoul(argv[1], nullptr, 10);
    const std::wstring cmd = argv[2];
    const wchar_t* caption = argv[3];
    const int id = argc > 4 ? _wtoi(argv[4]) : 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limit) {
        HWND dlg = Find(caption);
        if (cmd == L"gone") {
            if (!dlg) {
                wprintf(L"gone\n");
                return 0;
            }
        } else if (dlg) {
            HWND control = id ? GetDlgItem(dlg, id) : nullptr;
            if (cmd == L"wait") {
                wprintf(L"found\n");
                return 0;
            }
            if (cmd == L"text" && control) {
                wprintf(L"text=%ls\n", Text(control).c_str());
                return 0;
            }
            if ((cmd == L"click" || cmd == L"clicktext") && control && IsWindowEnabled(control) &&
                (cmd == L"click" || (argc > 5 && Text(control) == argv[5]))) {
                PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
                wprintf(L"clicked\n");
                return 0;
            }
            if (cmd == L"shot" && control && argc > 5) {
                if (SaveShot(control, argv[5])) {
                    wprintf(L"saved\n");
                    return 0;
                }
            }
        }
        Sleep(50);
    }
    wprintf(L"timeout\n");
    return 1;
}
