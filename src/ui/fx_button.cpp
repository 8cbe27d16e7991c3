#include "ui/fx_button.h"

#include <commctrl.h>
#include <mmsystem.h>

#include "util/system_library.h"
#include "ui/common_controls.h"

namespace mv {

namespace {
constexpr UINT_PTR kSubclassId = 0xF8B;
constexpr wchar_t kProp[] = L"mv.fxbutton";
}  // namespace

CFxButton::~CFxButton() {
    for (Image& i : images_) FreeImage(i);
    if (window_ && IsWindow(window_)) {
        mv::RemoveSubclass(window_, SubclassProc, kSubclassId);
        RemovePropW(window_, kProp);
    }
    if (tooltip_ && IsWindow(tooltip_)) DestroyWindow(tooltip_);
}

void CFxButton::FreeImage(Image& image) {
    if (image.dc) {
        SelectObject(image.dc, image.old);
        DeleteDC(image.dc);
    }
    if (image.bitmap) DeleteObject(image.bitmap);
    image = Image{};
}

bool CFxButton::Attach(HWND button) {
    if (!IsWindow(button)) return false;
    window_ = button;
    SetPropW(button, kProp, this);
    // Owner drawing keeps the system from painting over our states.
    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    SetWindowLongPtrW(button, GWL_STYLE, (style & ~static_cast<LONG_PTR>(BS_TYPEMASK)) | BS_OWNERDRAW);
    return mv::SetSubclass(button, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

CFxButton* CFxButton::FromWindow(HWND button) {
    return button ? static_cast<CFxButton*>(GetPropW(button, kProp)) : nullptr;
}

bool CFxButton::SetImages(HINSTANCE module, int normal, bool copyNormal, int pressed, int hover, int disabled) {
    const int ids[4] = {normal, pressed, hover, disabled};
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        FreeImage(images_[i]);
        int id = ids[i];
        if (id == 0 && copyNormal && i > 0) id = normal;
        if (id == 0) continue;
        Image& img = images_[i];
        img.bitmap = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
        if (!img.bitmap) {
            ok = false;
            continue;
        }
        BITMAP bm{};
        GetObjectW(img.bitmap, sizeof(bm), &bm);
        img.width = bm.bmWidth;
        img.height = bm.bmHeight;
        img.dc = CreateCompatibleDC(nullptr);
        img.old = SelectObject(img.dc, img.bitmap);
    }
    if (window_) InvalidateRect(window_, nullptr, FALSE);
    return ok;
}

static void SetColourSet(COLORREF (&set)[4], const COLORREF (&in)[4], bool all) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (int i = 0; i < 4; ++i) {
        const COLORREF c = all ? in[0] : in[i];
        if (c != face) set[i] = c;
    }
}

void CFxButton::SetButtonColours(COLORREF normal, COLORREF pressed, COLORREF hover, COLORREF disabled, bool all) {
    SetColourSet(back_, {normal, pressed, hover, disabled}, all);
    if (window_) InvalidateRect(window_, nullptr, FALSE);
}

void CFxButton::SetTextColours(COLORREF normal, COLORREF pressed, COLORREF hover, COLORREF disabled, bool all) {
    SetColourSet(text_, {normal, pressed, hover, disabled}, all);
    if (window_) InvalidateRect(window_, nullptr, FALSE);
}

void CFxButton::SetSound(State state, const std::wstring& name, bool fromResource) {
    if (state == StateHover) {
        hoverSound_ = name;
        hoverSoundResource_ = fromResource;
    } else if (state == StatePressed) {
        clickSound_ = name;
        clickSoundResource_ = fromResource;
    }
}

void CFxButton::SetToolTip(const std::wstring& text) {
    if (!window_) return;
    if (!tooltip_) {
        mv::LoadCommonControls();
        tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, nullptr, nullptr);
        if (!tooltip_) return;
    }
    TTTOOLINFOW info{};
    info.cbSize = sizeof(info);
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = window_;
    info.uId = reinterpret_cast<UINT_PTR>(window_);
    info.lpszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

void CFxButton::PlayStateSound(State state) const {
    const std::wstring& name = state == StateHover ? hoverSound_ : clickSound_;
    const bool resource = state == StateHover ? hoverSoundResource_ : clickSoundResource_;
    if (name.empty()) return;
    const DWORD how = SND_ASYNC | SND_NODEFAULT | (resource ? SND_RESOURCE : SND_FILENAME);
    using Play = BOOL(WINAPI*)(LPCWSTR, HMODULE, DWORD);
    if (const auto play = mv::SystemFunctionAs<Play>(L"winmm.dll", "PlaySoundW"))
        play(name.c_str(), resource ? GetModuleHandleW(nullptr) : nullptr, how);
}

CFxButton::State CFxButton::CurrentState(const DRAWITEMSTRUCT* item) const {
    if (item->itemState & ODS_DISABLED) return StateDisabled;
    if ((item->itemState & ODS_SELECTED) || checked_) return StatePressed;
    if (hover_) return StateHover;
    return StateNormal;
}

void CFxButton::DrawItem(const DRAWITEMSTRUCT* item) {
    const State state = CurrentState(item);
    const int slot = Slot(state);
    HDC dc = item->hDC;
    RECT r = item->rcItem;
    const COLORREF back = back_[slot] != CLR_INVALID ? back_[slot] : GetSysColor(COLOR_BTNFACE);
    HBRUSH brush = CreateSolidBrush(back);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
    const Image& img = images_[slot];
    if (img.dc) {
        SetStretchBltMode(dc, HALFTONE);
        StretchBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, img.dc, 0, 0, img.width, img.height,
                   SRCCOPY);
        return;
    }
    wchar_t text[256] = {};
    GetWindowTextW(window_, text, 256);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, text_[slot] != CLR_INVALID ? text_[slot] : GetSysColor(COLOR_BTNTEXT));
    HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0)));
    if (state == StatePressed) OffsetRect(&r, 1, 1);
    DrawTextW(dc, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, oldFont);
    if (item->itemState & ODS_FOCUS) DrawFocusRect(dc, &item->rcItem);
}

LRESULT CFxButton::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_MOUSEMOVE:
        if (GetCapture() == window_) {
            // Pressed only while the cursor stays over the button.
            POINT pt;
            GetCursorPos(&pt);
            SendMessageW(window_, BM_SETSTATE, WindowFromPoint(pt) == window_, 0);
        } else if (!hover_) {
            hover_ = true;
            PlayStateSound(StateHover);
            InvalidateRect(window_, nullptr, FALSE);
        }
        if (!tracking_) {
            TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, window_, 0};
            tracking_ = TrackMouseEvent(&t) != FALSE;
        }
        break;
    case WM_MOUSELEAVE:
        tracking_ = false;
        hover_ = false;
        InvalidateRect(window_, nullptr, FALSE);
        break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        PlayStateSound(StatePressed);
        if (tracking_) {
            TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE | TME_CANCEL, window_, 0};
            TrackMouseEvent(&t);
            tracking_ = false;
        }
        if (msg == WM_LBUTTONDBLCLK)  // a double click counts as a second press
            return mv::CallNextSubclass(window_, WM_LBUTTONDOWN, wp, lp);
        break;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(window_, nullptr, FALSE);
        break;
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
    case BM_SETCHECK: {
        const bool on = wp == BST_CHECKED;
        checked_ = on;
        InvalidateRect(window_, nullptr, FALSE);
        if (on && radio_) {
            HWND parent = GetParent(window_);
            for (HWND other = GetNextDlgGroupItem(parent, window_, FALSE); other && other != window_;
                 other = GetNextDlgGroupItem(parent, other, FALSE))
                // Sent, not posted: a queued request could arrive after a later check and undo it.
                SendMessageW(other, kUncheckMessage, reinterpret_cast<WPARAM>(window_), 0);
        }
        return 0;
    }
    case BM_GETCHECK:
        return checked_ ? BST_CHECKED : BST_UNCHECKED;
    case kUncheckMessage: {
        // A request from a button that has since been unchecked itself is stale: a later
        // check elsewhere in the group must not be undone by it.
        HWND from = reinterpret_cast<HWND>(wp);
        if (from && IsWindow(from) && SendMessageW(from, BM_GETCHECK, 0, 0) != BST_CHECKED) return 0;
        if (checked_) {
            checked_ = false;
            InvalidateRect(window_, nullptr, FALSE);
        }
        return 0;
    }
    case WM_KEYDOWN:
        if (wp == VK_SPACE || wp == VK_RETURN) InvalidateRect(window_, nullptr, FALSE);
        break;
    case WM_NCDESTROY:
        RemovePropW(window_, kProp);
        mv::RemoveSubclass(window_, SubclassProc, kSubclassId);
        {
            HWND w = window_;
            window_ = nullptr;
            return mv::CallNextSubclass(w, msg, wp, lp);
        }
    default:
        break;
    }
    return mv::CallNextSubclass(window_, msg, wp, lp);
}

LRESULT CALLBACK CFxButton::SubclassProc(HWND, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
    return reinterpret_cast<CFxButton*>(data)->OnMessage(msg, wp, lp);
}

}  // namespace mv
