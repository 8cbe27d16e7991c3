#include "ui/dialog_sk.h"

#include <windowsx.h>

#include "notify/log.h"
#include "ui/common_controls.h"
#include "ui/fx_button.h"
#include "util/text.h"

namespace mv {

INT_PTR CDialogBase::DoModal(HINSTANCE module, int templateId, HWND owner) {
    LoadCommonControls();  // the templates hold progress bars
    const INT_PTR r = DialogBoxParamW(module, MAKEINTRESOURCEW(templateId), owner, DialogProc,
                                      reinterpret_cast<LPARAM>(this));
    if (r == -1) WriteLog(Format(L"DialogBoxParam(%d) failed: %lu", templateId, GetLastError()));
    return r;
}

HWND CDialogBase::Create(HINSTANCE module, int templateId, HWND owner) {
    LoadCommonControls();
    return CreateDialogParamW(module, MAKEINTRESOURCEW(templateId), owner, DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialogBase::EndDialog(INT_PTR result) {
    if (hwnd_) ::EndDialog(hwnd_, result);
}

bool CDialogBase::OnMessage(UINT, WPARAM, LPARAM, INT_PTR*) { return false; }

INT_PTR CALLBACK CDialogBase::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialogBase* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogBase*>(lp);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return FALSE;
    INT_PTR result = 0;
    const bool handled = self->OnMessage(msg, wp, lp, &result);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
    }
    if (!handled) return FALSE;
    // Messages that return a value other than through DWLP_MSGRESULT.
    switch (msg) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_QUERYDRAGICON:
        return result;
    default:
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

CDialogSK::CDialogSK() {
    // Layered windows are looked up by name: older systems lack them.
    if (HMODULE user = GetModuleHandleW(L"USER32.DLL"))
        setLayered_ = reinterpret_cast<SetLayeredFn>(
            reinterpret_cast<void*>(GetProcAddress(user, "SetLayeredWindowAttributes")));
}

CDialogSK::~CDialogSK() {
    if (bitmap_) DeleteObject(bitmap_);
}

bool CDialogSK::SetBitmap(HINSTANCE module, int bitmapId) {
    if (bitmap_) DeleteObject(bitmap_);
    bitmap_ = nullptr;
    bitmapW_ = bitmapH_ = 0;
    if (bitmapId == 0) return true;
    bitmap_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, 0));
    if (!bitmap_) return false;
    BITMAP bm{};
    GetObjectW(bitmap_, sizeof(bm), &bm);
    bitmapW_ = bm.bmWidth;
    bitmapH_ = bm.bmHeight;
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
    return true;
}

bool CDialogSK::SetTransparent(BYTE alpha) {
    if (!setLayered_ || !hwnd_) return false;
    SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, GetWindowLongPtrW(hwnd_, GWL_EXSTYLE) | WS_EX_LAYERED);
    return setLayered_(hwnd_, 0, alpha, LWA_ALPHA) != FALSE;
}

bool CDialogSK::PaintBackground(HDC dc) {
    if (!bitmap_) return false;
    RECT client;
    GetClientRect(hwnd_, &client);
    HDC mem = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(mem, bitmap_);
    const int cw = client.right, ch = client.bottom;
    switch (mode_) {
    case BgTile:
        for (int y = 0; y < ch; y += bitmapH_)
            for (int x = 0; x < cw; x += bitmapW_) BitBlt(dc, x, y, bitmapW_, bitmapH_, mem, 0, 0, SRCCOPY);
        break;
    case BgCentre:
        BitBlt(dc, (cw - bitmapW_) / 2, (ch - bitmapH_) / 2, bitmapW_, bitmapH_, mem, 0, 0, SRCCOPY);
        break;
    case BgStretch:
        SetStretchBltMode(dc, HALFTONE);
        StretchBlt(dc, 0, 0, cw, ch, mem, 0, 0, bitmapW_, bitmapH_, SRCCOPY);
        break;
    case BgCorner:
    case BgCornerOnce:
    default:
        BitBlt(dc, 0, 0, bitmapW_, bitmapH_, mem, 0, 0, SRCCOPY);
        break;
    }
    SelectObject(mem, old);
    DeleteDC(mem);
    return true;
}

bool CDialogSK::OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) {
    switch (msg) {
    case WM_LBUTTONDOWN:
        if (easyMove_) {
            // The system moves the window as if its caption had been pressed.
            POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
            ClientToScreen(hwnd_, &pt);
            PostMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(pt.x, pt.y));
        }
        *result = 0;
        return true;
    case WM_ERASEBKGND:
        if (PaintBackground(reinterpret_cast<HDC>(wp))) {
            *result = 1;
            return true;
        }
        return false;
    case WM_SIZE:
        if (bitmap_) InvalidateRect(hwnd_, nullptr, TRUE);
        return false;
    case WM_DRAWITEM: {
        // Skinned buttons draw themselves (the parent reflects the request).
        auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
        if (CFxButton* b = CFxButton::FromWindow(item->hwndItem)) {
            b->DrawItem(item);
            *result = TRUE;
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

}  // namespace mv
