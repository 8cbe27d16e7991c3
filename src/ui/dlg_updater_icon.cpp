#include "ui/dlg_updater_icon.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "config/app_state.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "resources/resource_ids.h"
#include "ui/picture.h"
#include "ui/tray_rules.h"
#include "ui/window_class.h"
#include "updatelist/download_list.h"
#include "util/com.h"
#include "util/text.h"

namespace mv {

namespace {

constexpr UINT kStartMessage = WM_APP + 15;
constexpr RECT kCloseBox{196, 8, 210, 22};

// Pixel lengths of the pop-up at the screen's DPI (the identity where the system scales us).
int Px(int v) {
    static const int dpi = ScreenDpi();
    return MulDiv(v, dpi, 96);
}
RECT Px(RECT r) { return RECT{Px(r.left), Px(r.top), Px(r.right), Px(r.bottom)}; }

std::wstring TrayText(const wchar_t* text) { return Translate(L"TRYICON", text); }
std::wstring MainText(const wchar_t* text) { return Translate(L"MAIN", text); }

std::wstring AppName() { return ReadSetting(L"APPLICATION", L"Name"); }


HFONT DialogFont(HWND dialog) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    return font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// A link's window: an invisible stand-in over the painted text, so that screen readers and
// tools find each link by id, text and place. It paints nothing and lets the mouse through
// to the pop-up, which hit-tests the same rectangles.
constexpr wchar_t kLinkClass[] = L"MirovaneLink";

LRESULT CALLBACK LinkWindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        ValidateRect(w, nullptr);
        return 0;
    default:
        return DefWindowProcW(w, msg, wp, lp);
    }
}

bool RegisterLinkClass(HINSTANCE module) {
    WNDCLASSEXW wc{};
    wc.lpfnWndProc = LinkWindowProc;
    wc.hInstance = module;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kLinkClass;
    return RegisterWindowClass(wc);
}

// The window's one notification-area icon: its callback message, picture and tip.
NOTIFYICONDATAW TrayIconData(HWND window, HICON icon, const std::wstring& tip) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof(nid);
    nid.hWnd = window;
    nid.uID = CDlgUpdaterIcon::kIconId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = CDlgUpdaterIcon::kTrayCallback;
    nid.hIcon = icon;
    wcsncpy_s(nid.szTip, tip.c_str(), _TRUNCATE);
    return nid;
}

}  // namespace

CDlgUpdaterIcon::CDlgUpdaterIcon(const WindowActions& actions) : actions_(actions) {}

CDlgUpdaterIcon::~CDlgUpdaterIcon() {
    if (background_) DeleteObject(background_);
    if (close_) DeleteObject(close_);
}

INT_PTR CDlgUpdaterIcon::Run(HWND owner) {
    RegisterDialogClass(kClassName);
    const INT_PTR r = DoModal(GetModuleHandleW(nullptr), MV_DLG_TRAY, owner);
    // A check still running when tray mode ends is given its time-outs to finish, so that
    // the process does not end under it.
    if (worker_ && WaitForSingleObject(worker_.get(), 120000) != WAIT_OBJECT_0)
        WriteLog(L"Tray mode ends while a check still runs");
    return r;
}

BOOL CDlgUpdaterIcon::OnInitDialog() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    // 1.
    SetTimer(hwnd_, kTimerId, 500, nullptr);
    SetPropW(hwnd_, MIROVANE_PROP_NEEDMSG, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(MIROVANE_ON)));
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // 2.
    background_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(MV_BMP_POPUP), IMAGE_BITMAP, 0, 0, 0));
    close_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(MV_BMP_CLOSE), IMAGE_BITMAP, 0, 0, 0));
    // 3. Sized to the picture, off screen until there is something to show.
    BITMAP bm{};
    if (background_ && GetObjectW(background_, sizeof(bm), &bm)) backgroundSize_ = {bm.bmWidth, bm.bmHeight};
    RECT want{0, 0, Px(backgroundSize_.cx), Px(backgroundSize_.cy)};
    AdjustWindowRectEx(&want, GetWindowLongW(hwnd_, GWL_STYLE), FALSE, GetWindowLongW(hwnd_, GWL_EXSTYLE));
    SetWindowPos(hwnd_, nullptr, -800, -800, want.right - want.left, want.bottom - want.top, SWP_NOZORDER);
    // 4.
    icon_ = LoadIconW(module, MAKEINTRESOURCEW(MV_ICON_APP));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    AddIcon();
    CreateLinkWindows();
    // 5. Hidden, then the first check (once the modal loop runs).
    PostMessageW(hwnd_, kStartMessage, 0, 0);
    return TRUE;
}

void CDlgUpdaterIcon::CreateLinkWindows() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    if (!RegisterLinkClass(module)) return;
    const struct {
        const wchar_t* name;
        const wchar_t* text;
        UINT id;
    } links[] = {{L"close", L"Close", MV_LINK_CLOSE},
                 {L"cancel", L"Cancel", MV_MENU_CANCEL},
                 {L"check", L"Check again", MV_MENU_CHECK},
                 {L"update", L"Update", MV_MENU_UPDATE}};
    for (const auto& l : links) {
        HWND w = CreateWindowExW(WS_EX_TRANSPARENT, kLinkClass, TrayText(l.text).c_str(), WS_CHILD, 0, 0, 0, 0, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<UINT_PTR>(l.id)), module, nullptr);
        if (!w) {
            WriteLog(Format(L"CreateWindowEx(link %s) failed: %lu", l.name, GetLastError()));
            continue;
        }
        linkWindows_[l.name] = w;
    }
    UpdateLayout();
}

CDlgUpdaterIcon::Layout CDlgUpdaterIcon::LayOut(HDC dc, HFONT font) const {
    Layout l{};
    RECT client;
    GetClientRect(hwnd_, &client);
    const HGDIOBJ old = SelectObject(dc, font);
    RECT area = client;
    InflateRect(&area, -Px(20), -Px(20));
    l.name = RECT{area.left, area.top, area.right, area.top + Px(20)};
    l.status = RECT{area.left, area.top + Px(20), area.right, area.top + Px(40)};
    auto measure = [&](const std::wstring& text, int x, int y) {
        RECT r{x, y, x, y};
        DrawTextW(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        return r;
    };
    l.links[L"close"] = Px(kCloseBox);
    if (countdown_ >= 0) {
        l.countdownText = Format(TrayText(L"Update after %d seconds.").c_str(), countdown_);
        l.countdown = measure(l.countdownText, area.left, area.top + Px(40));
        l.links[L"cancel"] = measure(TrayText(L"Cancel"), l.countdown.right + Px(5), area.top + Px(40));
    }
    const int width = client.right - client.left;
    const RECT check = measure(TrayText(L"Check again"), width / 3, client.bottom - Px(32));
    l.links[L"check"] = check;
    // A long translation of the first link pushes the second along rather than under it.
    l.links[L"update"] =
        measure(TrayText(L"Update"), std::max<int>(2 * width / 3, check.right + Px(10)), client.bottom - Px(32));
    SelectObject(dc, old);
    return l;
}

void CDlgUpdaterIcon::UpdateLayout() {
    HDC dc = GetDC(hwnd_);
    if (!dc) return;
    const Layout l = LayOut(dc, DialogFont(hwnd_));
    ReleaseDC(hwnd_, dc);
    links_ = l.links;
    for (const auto& [name, w] : linkWindows_) {
        const auto it = links_.find(name);
        if (it == links_.end()) {
            ShowWindow(w, SW_HIDE);
            continue;
        }
        const RECT& r = it->second;
        SetWindowPos(w, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW | SWP_SHOWWINDOW);
    }
}

void CDlgUpdaterIcon::AddIcon() {
    NOTIFYICONDATAW nid = TrayIconData(hwnd_, icon_, L"Update Center");
    if (!Shell_NotifyIconW(NIM_ADD, &nid)) WriteLog(Format(L"Shell_NotifyIcon(NIM_ADD) failed: %lu", GetLastError()));
    // Keyboard selection of the icon and its menu key reach us as NIN_KEYSELECT, WM_CONTEXTMENU.
    nid.uVersion = NOTIFYICON_VERSION;
    Shell_NotifyIconW(NIM_SETVERSION, &nid);
    ModifyTip();
}

void CDlgUpdaterIcon::ModifyTip() {
    const std::wstring name = AppName();
    if (name.empty()) return;
    NOTIFYICONDATAW nid = TrayIconData(hwnd_, icon_, tray::TipText(name, status_));
    Shell_NotifyIconW(NIM_MODIFY, &nid);
}

bool CDlgUpdaterIcon::OneShotMode() const { return Trim(ReadSetting(L"Mirovane", L"CheckTmSpan")).empty(); }

void CDlgUpdaterIcon::StartCheck() {
    if (busy_ || running_) return;
    busy_ = true;
    nextCheck_ = ~0ull;  // scheduled again when this check ends
    result_.clear();
    if (actions_.forgetSession) actions_.forgetSession();
    filesFound_ = 0;
    StopCountdown();
    worker_.reset();
    HANDLE t = CreateThread(nullptr, 0, CheckWorker, this, 0, nullptr);
    if (!t) {
        WriteLog(Format(L"CreateThread (tray check) failed: %lu", GetLastError()));
        busy_ = false;
        failuresInRow_ = tray::FailuresAfterCheck(failuresInRow_, false);
        ScheduleCheck(tray::NextCheckDelay(ReadSetting(L"Mirovane", L"CheckTmSpan"), failuresInRow_, random_),
                      L"a failed check");
        return;
    }
    worker_.reset(t);
}

DWORD WINAPI CDlgUpdaterIcon::CheckWorker(LPVOID param) {
    auto* self = static_cast<CDlgUpdaterIcon*>(param);
    const HWND w = self->hwnd_;
    {
        ComInit com;
        HostWindows::Register(w, false);
        if (self->actions_.startRemoteCheck) self->actions_.startRemoteCheck(nullptr);
        HostWindows::Unregister(w);
    }
    // The one way a check ends: the window clears its busy flag on this message.
    PostMessageW(w, kCheckEnded, 0, 0);
    return 0;
}

void CDlgUpdaterIcon::OnCheckEnded() {
    busy_ = false;
    if (worker_) WaitForSingleObject(worker_.get(), 5000);
    filesFound_ = actions_.filesFound ? actions_.filesFound() : 0;
    if (filesFound_ > 0 && !updateWaiting_) StartCountdown();
    RebuildStatus();
    InvalidateRect(hwnd_, nullptr, TRUE);
    if (updateWaiting_) {
        updateWaiting_ = false;
        RunUpdate(false);
        return;
    }
    if (OneShotMode() && filesFound_ == 0 && checkState_ == UpdateCheckRemoteOk) {
        End();
        return;
    }
    failuresInRow_ = tray::FailuresAfterCheck(failuresInRow_, checkState_ == UpdateCheckRemoteOk);
    ScheduleCheck(tray::NextCheckDelay(ReadSetting(L"Mirovane", L"CheckTmSpan"), failuresInRow_, random_),
                  failuresInRow_ ? L"a failed check" : L"a check");
}

void CDlgUpdaterIcon::ScheduleCheck(long long seconds, const wchar_t* after) {
    nextCheck_ = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000ull;
    WriteLog(Format(L"Tray: next check in %lld s, after %s (%d failed in a row)", seconds, after, failuresInRow_));
}

void CDlgUpdaterIcon::OnStage(int state, int count) {
    checkState_ = state;
    filesFound_ = count;
    RebuildStatus();
    InvalidateRect(hwnd_, nullptr, TRUE);
    if (state == UpdateCheckRemoteOk && count > 0) ShowPopup();
}

void CDlgUpdaterIcon::RebuildStatus() {
    std::wstring text;
    if (running_) {
        text = MainText(L"updater is running...");
        if (text == L"updater is running...") text = TrayText(L"updater is running...");
    } else if (!result_.empty()) {
        text = result_;
    } else if (checkState_ == UpdateCheckRemoteError) {
        text = MainText(L"Can't connection update server!");
    } else if (checkState_ == UpdateCheckRemoteOk) {
        text = filesFound_ == 0 ? MainText(L"Find nothing to update.")
                                : Format(MainText(L"Found %d files need to update...").c_str(), filesFound_);
    } else if (checkState_ == UpdateCheckRemote) {
        text = MainText(L"Check update files");
    }
    status_ = text;
    UpdateCaption();
    ModifyTip();
}

void CDlgUpdaterIcon::UpdateCaption() {
    // The window text carries what the pop-up shows, for screen readers and tools.
    std::wstring caption = status_.empty() ? TrayText(L"Update Center") : status_;
    if (countdown_ >= 0) caption += L" " + Format(TrayText(L"Update after %d seconds.").c_str(), countdown_);
    SetWindowTextW(hwnd_, caption.c_str());
    UpdateLayout();  // the countdown line moves the "Cancel" link
}

void CDlgUpdaterIcon::ShowPopup() {
    RECT r;
    GetWindowRect(hwnd_, &r);
    if (r.left < 0) {
        // The work area of the monitor that holds the taskbar.
        HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
        HMONITOR mon = taskbar ? MonitorFromWindow(taskbar, MONITOR_DEFAULTTOPRIMARY)
                               : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
        MONITORINFO mi{};
        mi.cbSize = sizeof(mi);
        GetMonitorInfoW(mon, &mi);
        const int w = r.right - r.left, h = r.bottom - r.top;
        SetWindowPos(hwnd_, HWND_TOPMOST, mi.rcWork.right - w - Px(5), mi.rcWork.bottom - h - Px(5), 0, 0, SWP_NOSIZE);
    }
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
}

void CDlgUpdaterIcon::StartCountdown() {
    countdownTotal_ = tray::CountdownSeconds(ReadSetting(L"Mirovane", L"TrayCountdown"));
    countdown_ = countdownTotal_;
    countdownStart_ = GetTickCount64();
    UpdateCaption();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void CDlgUpdaterIcon::StopCountdown() {
    if (countdown_ < 0) return;
    countdown_ = -1;
    UpdateCaption();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void CDlgUpdaterIcon::OnTimer() {
    if (running_) return;
    if (countdown_ > 0) {
        const int left = tray::CountdownLeft(countdownTotal_, GetTickCount64() - countdownStart_);
        if (left != countdown_) {
            countdown_ = left;
            UpdateCaption();
            InvalidateLink(L"cancel", 2);
            InvalidateRect(hwnd_, nullptr, TRUE);
        }
        if (left == 0) {
            countdown_ = -1;
            UpdateCaption();
            const std::wstring skin = GlobalValues::Get(L"MirovaneSkin");
            GlobalValues::Set(L"MirovaneSkin", L"MostSimple");
            RunUpdate(true);
            GlobalValues::Set(L"MirovaneSkin", skin);
            return;
        }
    }
    if (!busy_ && !running_ && GetTickCount64() >= nextCheck_) StartCheck();
}

void CDlgUpdaterIcon::RunUpdate(bool unattended) {
    if (running_) return;
    if (busy_) {  // the update follows the check that runs now
        updateWaiting_ = true;
        StopCountdown();
        return;
    }
    // Nobody asked for this update: a host program the user is working in is closed only
    // with their consent; "No" waits for the next offer.
    if (unattended && !AppState::hostWindow && actions_.hostProgramRunning && actions_.hostProgramRunning()) {
        const std::wstring name = AppName();
        const std::wstring question = Format(
            TrayText(L"%s is running and will be closed for the update. Update now?").c_str(), name.c_str());
        if (MessageBoxW(nullptr, question.c_str(), name.c_str(), MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND |
                                                                      MB_TOPMOST) != IDYES) {
            WriteLog(L"The update waits: the host program is running and the user said no");
            ScheduleCheck(tray::NextCheckDelay(ReadSetting(L"Mirovane", L"CheckTmSpan"), 0, random_), L"a postponed update");
            return;
        }
    }
    ShowWindow(hwnd_, SW_HIDE);
    running_ = true;
    result_.clear();
    RebuildStatus();
    HostWindows::Unregister(hwnd_);
    if (actions_.forgetSession) actions_.forgetSession();
    // The session's end sequence leaves UpdateEnd: what the copy step did comes back from it.
    const bool installed = actions_.runUpdate && actions_.runUpdate(hwnd_);
    if (installed)
        result_ = MainText(L"Upgrade is completed");
    else if (actions_.filesFound && actions_.filesFound() >= 1)
        result_ = MainText(L"Upgrade is abort");
    running_ = false;
    filesFound_ = 0;
    RebuildStatus();
    if (OneShotMode()) {
        End();
        return;
    }
    failuresInRow_ = 0;
    ScheduleCheck(tray::NextCheckDelay(ReadSetting(L"Mirovane", L"CheckTmSpan"), 0, random_), L"an update");
    ShowPopup();
}

void CDlgUpdaterIcon::End() {
    KillTimer(hwnd_, kTimerId);
    EndDialog(IDOK);
}

void CDlgUpdaterIcon::OnTrayCallback(UINT event) {
    switch (event) {
    case WM_LBUTTONDBLCLK:
    case NIN_KEYSELECT:
    case NIN_SELECT:
        ShowPopup();
        break;
    case WM_RBUTTONDOWN:
    case WM_CONTEXTMENU:
        ShowMenu();
        break;
    default:
        break;
    }
}

void CDlgUpdaterIcon::ShowMenu() {
    SetForegroundWindow(hwnd_);
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    const UINT busyFlag = running_ ? MF_GRAYED : 0;
    AppendMenuW(menu, MF_STRING, MV_MENU_SHOW, TrayText(L"Show check window").c_str());
    AppendMenuW(menu, MF_STRING | busyFlag, MV_MENU_UPDATE, TrayText(L"Update now").c_str());
    AppendMenuW(menu, MF_STRING | busyFlag, MV_MENU_CHECK, TrayText(L"Check again").c_str());
    // A fixed order, so that the keyboard finds each item at the same place every time.
    AppendMenuW(menu, MF_STRING | (countdown_ >= 0 ? 0 : MF_GRAYED), MV_MENU_CANCEL, TrayText(L"Cancel").c_str());
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, MV_MENU_EXIT, MainText(L"Exit").c_str());
    POINT pt;
    GetCursorPos(&pt);
    const UINT cmd = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, pt.x, pt.y, 0, hwnd_, nullptr);
    DestroyMenu(menu);
    PostMessageW(hwnd_, WM_NULL, 0, 0);
    if (cmd) OnCommand(cmd);
}

void CDlgUpdaterIcon::OnCommand(UINT id) {
    switch (id) {
    case MV_MENU_SHOW:
        ShowPopup();
        break;
    case MV_MENU_EXIT:
        End();
        break;
    case MV_MENU_UPDATE:
        if (!running_) {
            StopCountdown();
            RunUpdate(false);
        }
        break;
    case MV_MENU_CHECK:
        if (!running_) {
            StopCountdown();
            StartCheck();
        }
        break;
    case MV_MENU_CANCEL:
        StopCountdown();
        break;
    default:
        break;
    }
}

std::wstring CDlgUpdaterIcon::LinkAt(POINT pt) const {
    for (const auto& [name, rect] : links_)
        if (PtInRect(&rect, pt)) return name;
    return {};
}

void CDlgUpdaterIcon::InvalidateLink(const std::wstring& name, int inflate) {
    auto it = links_.find(name);
    if (it == links_.end()) return;
    RECT r = it->second;
    InflateRect(&r, Px(inflate), Px(inflate));
    InvalidateRect(hwnd_, &r, TRUE);
}

void CDlgUpdaterIcon::OnClick(POINT pt) {
    const std::wstring link = LinkAt(pt);
    if (link.empty()) {
        // Anywhere else the pop-up is dragged.
        POINT screen = pt;
        ClientToScreen(hwnd_, &screen);
        PostMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(screen.x, screen.y));
        return;
    }
    if (link == L"close") {
        StopCountdown();
        ShowWindow(hwnd_, SW_HIDE);
    } else if (link == L"cancel") {
        StopCountdown();
    } else if (!running_ && link == L"check") {
        StopCountdown();
        StartCheck();
    } else if (!running_ && link == L"update") {
        StopCountdown();
        RunUpdate(false);
    }
}

void CDlgUpdaterIcon::OnMouseMove(POINT pt) {
    const std::wstring link = LinkAt(pt);
    if (link == hovered_) return;
    const std::wstring old = hovered_;
    hovered_ = link;
    InvalidateLink(old, 3);
    InvalidateLink(link, 3);
    TRACKMOUSEEVENT t{};
    t.cbSize = sizeof(t);
    t.dwFlags = TME_LEAVE;
    t.hwndTrack = hwnd_;
    TrackMouseEvent(&t);
}

void CDlgUpdaterIcon::OnPaint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT client;
    GetClientRect(hwnd_, &client);
    // 1.
    if (background_) {
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, background_);
        StretchBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, backgroundSize_.cx, backgroundSize_.cy, SRCCOPY);
        SelectObject(mem, old);
        DeleteDC(mem);
    } else {
        FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    }
    SetBkMode(dc, TRANSPARENT);
    // 2.
    const HFONT base = DialogFont(hwnd_);
    LOGFONTW lf{};
    GetObjectW(base, sizeof(lf), &lf);
    lf.lfWeight = 700;
    HFONT bold = CreateFontIndirectW(&lf);
    lf.lfWeight = 400;
    lf.lfUnderline = TRUE;
    HFONT underline = CreateFontIndirectW(&lf);
    HGDIOBJ oldFont = SelectObject(dc, base);
    // 3. The same layout as the links' hit-testing and their windows.
    const Layout layout = LayOut(dc, base);
    auto drawText = [&](const std::wstring& text, HFONT font, RECT r, UINT flags) {
        SelectObject(dc, font);
        DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX | flags);
    };
    auto drawLink = [&](const wchar_t* name, const std::wstring& text) {
        const auto it = layout.links.find(name);
        if (it == layout.links.end()) return;
        const bool hot = hovered_ == name;
        SetTextColor(dc, hot ? RGB(0, 0, 255) : RGB(0, 0, 0));
        drawText(text, hot ? underline : base, it->second, 0);
    };
    SetTextColor(dc, RGB(0, 0, 0));
    drawText(AppName(), bold, layout.name, DT_LEFT | DT_END_ELLIPSIS);
    drawText(status_, base, layout.status, DT_LEFT | DT_END_ELLIPSIS);
    if (countdown_ >= 0) {
        drawText(layout.countdownText, base, layout.countdown, 0);
        drawLink(L"cancel", TrayText(L"Cancel"));
    }
    // 4.
    drawLink(L"check", TrayText(L"Check again"));
    drawLink(L"update", TrayText(L"Update"));
    // 6.
    if (hovered_ == L"close" && close_) {
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, close_);
        const RECT box = Px(kCloseBox);
        StretchBlt(dc, box.left, box.top, box.right - box.left, box.bottom - box.top, mem, 0, 0,
                   kCloseBox.right - kCloseBox.left, kCloseBox.bottom - kCloseBox.top, SRCCOPY);
        SelectObject(mem, old);
        DeleteDC(mem);
    }
    SelectObject(dc, oldFont);
    DeleteObject(bold);
    DeleteObject(underline);
    EndPaint(hwnd_, &ps);
}

bool CDlgUpdaterIcon::OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) {
    *result = 0;
    if (taskbarCreated_ && msg == taskbarCreated_) {
        AddIcon();  // the shell was restarted: the icon is gone with it
        return true;
    }
    switch (msg) {
    case kStartMessage:
        // Installs started together do not all check at once: the first check waits a spread.
        ShowWindow(hwnd_, SW_HIDE);
        ScheduleCheck(tray::FirstCheckDelay(ReadSetting(L"Mirovane", L"CheckTmSpan"), random_), L"start");
        OnTimer();
        return true;
    case kCheckEnded:
        OnCheckEnded();
        return true;
    case kStageMessage:
        OnStage(static_cast<int>(wp), static_cast<int>(lp));
        return true;
    case kTrayCallback:
        if (wp == kIconId) OnTrayCallback(LOWORD(lp));
        return true;
    case WM_TIMER:
        if (wp == kTimerId) OnTimer();
        return true;
    case WM_PAINT:
        OnPaint();
        return true;
    case WM_ERASEBKGND:
        *result = 1;
        return true;
    case WM_LBUTTONDOWN:
        OnClick(POINT{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)});
        return true;
    case WM_MOUSEMOVE:
        OnMouseMove(POINT{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)});
        return true;
    case WM_MOUSELEAVE:
        OnMouseMove(POINT{-1, -1});
        return true;
    case WM_SIZE:
        if (wp == SIZE_MINIMIZED) ShowWindow(hwnd_, SW_HIDE);
        return true;
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) ShowWindow(hwnd_, SW_HIDE);
        else OnCommand(LOWORD(wp));
        return true;
    case WM_CLOSE:
        ShowWindow(hwnd_, SW_HIDE);
        return true;
    case WM_QUERYDRAGICON:
        *result = reinterpret_cast<INT_PTR>(icon_);
        return true;
    case WM_DESTROY: {
        KillTimer(hwnd_, kTimerId);
        NOTIFYICONDATAW nid = TrayIconData(hwnd_, icon_, L"");
        Shell_NotifyIconW(NIM_DELETE, &nid);
        RemovePropW(hwnd_, MIROVANE_PROP_NEEDMSG);
        HostWindows::Unregister(hwnd_);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace mv

void ShowTrayIconWindow(HWND owner, const WindowActions& actions) {
    mv::CDlgUpdaterIcon dialog(actions);
    dialog.Run(owner);
}
