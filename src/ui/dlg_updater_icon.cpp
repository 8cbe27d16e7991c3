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

// Forgets what an earlier check or session left, so a new one starts clean.
void ResetSession() {
    DownLoadList& list = TheDownLoadList();
    RemoveAllRecords(list.records);
    list.description.clear();
    list.remoteVersion.clear();
    list.subListUrls.clear();
    list.runTasks.clear();
}

}  // namespace

CDlgUpdaterIcon::CDlgUpdaterIcon(const SessionSteps& steps) : steps_(steps) {}

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
    SetPropW(hwnd_, L"mirovane.needmsg", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1974)));
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // 2.
    background_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(MV_BMP_POPUP), IMAGE_BITMAP, 0, 0, 0));
    close_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(MV_BMP_CLOSE), IMAGE_BITMAP, 0, 0, 0));
    links_[L"close"] = Px(kCloseBox);
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
    // 5. Hidden, then the first check (once the modal loop runs).
    PostMessageW(hwnd_, kStartMessage, 0, 0);
    return TRUE;
}

void CDlgUpdaterIcon::AddIcon() {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof(nid);
    nid.hWnd = hwnd_;
    nid.uID = kIconId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = kTrayCallback;
    nid.hIcon = icon_;
    wcscpy_s(nid.szTip, L"Update Center");
    if (!Shell_NotifyIconW(NIM_ADD, &nid)) WriteLog(Format(L"Shell_NotifyIcon(NIM_ADD) failed: %lu", GetLastError()));
    // Keyboard selection of the icon and its menu key reach us as NIN_KEYSELECT, WM_CONTEXTMENU.
    nid.uVersion = NOTIFYICON_VERSION;
    Shell_NotifyIconW(NIM_SETVERSION, &nid);
    ModifyTip();
}

void CDlgUpdaterIcon::ModifyTip() {
    const std::wstring name = AppName();
    if (name.empty()) return;
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof(nid);
    nid.hWnd = hwnd_;
    nid.uID = kIconId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = kTrayCallback;
    nid.hIcon = icon_;
    const std::wstring tip = tray::TipText(name, status_);
    wcsncpy_s(nid.szTip, tip.c_str(), _TRUNCATE);
    Shell_NotifyIconW(NIM_MODIFY, &nid);
}

bool CDlgUpdaterIcon::OneShotMode() const { return Trim(ReadSetting(L"Mirovane", L"CheckTmSpan")).empty(); }

void CDlgUpdaterIcon::StartCheck() {
    if (busy_ || running_) return;
    busy_ = true;
    lastCheck_ = GetTickCount64();
    result_.clear();
    ResetSession();
    filesFound_ = 0;
    StopCountdown();
    worker_.reset();
    HANDLE t = CreateThread(nullptr, 0, CheckWorker, this, 0, nullptr);
    if (!t) {
        WriteLog(Format(L"CreateThread (tray check) failed: %lu", GetLastError()));
        busy_ = false;
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
        SetStage(UpdateNone);
        if (self->steps_.startRemoteCheck) self->steps_.startRemoteCheck(nullptr);
        HostWindows::Unregister(w);
    }
    // The one way a check ends: the window clears its busy flag on this message.
    PostMessageW(w, kCheckEnded, 0, 0);
    return 0;
}

void CDlgUpdaterIcon::OnCheckEnded() {
    busy_ = false;
    if (worker_) WaitForSingleObject(worker_.get(), 5000);
    filesFound_ = TheDownLoadList().FileCount();
    if (filesFound_ > 0 && !updateWaiting_) StartCountdown();
    RebuildStatus();
    InvalidateRect(hwnd_, nullptr, TRUE);
    if (updateWaiting_) {
        updateWaiting_ = false;
        RunUpdate(false);
        return;
    }
    if (OneShotMode() && filesFound_ == 0 && checkState_ == UpdateCheckRemoteOk) End();
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
    if (!busy_ && !running_) {
        const ULONGLONG interval = tray::CheckIntervalMinutes(ReadSetting(L"Mirovane", L"CheckTmSpan")) * 60000ull;
        if (GetTickCount64() - lastCheck_ >= interval) StartCheck();
    }
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
    if (unattended && !AppState::hostWindow && steps_.hostProgramRunning && steps_.hostProgramRunning()) {
        const std::wstring name = AppName();
        const std::wstring question = Format(
            TrayText(L"%s is running and will be closed for the update. Update now?").c_str(), name.c_str());
        if (MessageBoxW(nullptr, question.c_str(), name.c_str(), MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND |
                                                                      MB_TOPMOST) != IDYES) {
            WriteLog(L"The update waits: the host program is running and the user said no");
            lastCheck_ = GetTickCount64();
            return;
        }
    }
    ShowWindow(hwnd_, SW_HIDE);
    running_ = true;
    result_.clear();
    RebuildStatus();
    HostWindows::Unregister(hwnd_);
    ResetSession();
    SetStage(UpdateNone);
    if (steps_.runUpdate) steps_.runUpdate(hwnd_);
    if (TheDownLoadList().stage == UpdateCopyOk)
        result_ = MainText(L"Upgrade is completed");
    else if (TheDownLoadList().FileCount() >= 1)
        result_ = MainText(L"Upgrade is abort");
    lastCheck_ = GetTickCount64();
    running_ = false;
    filesFound_ = 0;
    RebuildStatus();
    if (OneShotMode())
        End();
    else
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
    HFONT base = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    GetObjectW(base ? static_cast<HGDIOBJ>(base) : GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    lf.lfWeight = 700;
    HFONT bold = CreateFontIndirectW(&lf);
    lf.lfWeight = 400;
    lf.lfUnderline = TRUE;
    HFONT underline = CreateFontIndirectW(&lf);
    HGDIOBJ oldFont = SelectObject(dc, base ? static_cast<HGDIOBJ>(base) : GetStockObject(DEFAULT_GUI_FONT));
    // 3.
    RECT area = client;
    InflateRect(&area, -Px(20), -Px(20));
    auto drawLine = [&](const std::wstring& text, HFONT font, int y) {
        SelectObject(dc, font);
        RECT r{area.left, y, area.right, y + Px(20)};
        DrawTextW(dc, text.c_str(), -1, &r, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    };
    auto drawLink = [&](const wchar_t* name, const std::wstring& text, int x, int y) {
        const bool hot = hovered_ == name;
        SelectObject(dc, hot ? underline : base);
        SetTextColor(dc, hot ? RGB(0, 0, 255) : RGB(0, 0, 0));
        RECT r{x, y, x, y};
        DrawTextW(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX);
        links_[name] = r;
        return r;
    };
    SetTextColor(dc, RGB(0, 0, 0));
    drawLine(AppName(), bold, area.top);
    drawLine(status_, base, area.top + Px(20));
    if (countdown_ >= 0) {
        SelectObject(dc, base);
        const std::wstring line = Format(TrayText(L"Update after %d seconds.").c_str(), countdown_);
        RECT r{area.left, area.top + Px(40), area.left, area.top + Px(60)};
        DrawTextW(dc, line.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        DrawTextW(dc, line.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX);
        drawLink(L"cancel", TrayText(L"Cancel"), r.right + Px(5), area.top + Px(40));
    } else {
        links_.erase(L"cancel");
    }
    // 4.
    const int width = client.right - client.left;
    const RECT check = drawLink(L"check", TrayText(L"Check again"), width / 3, client.bottom - Px(32));
    // A long translation of the first link pushes the second along rather than under it.
    drawLink(L"update", TrayText(L"Update"), std::max<int>(2 * width / 3, check.right + Px(10)), client.bottom - Px(32));
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
        ShowWindow(hwnd_, SW_HIDE);
        StartCheck();
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
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof(nid);
        nid.hWnd = hwnd_;
        nid.uID = kIconId;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        RemovePropW(hwnd_, L"mirovane.needmsg");
        HostWindows::Unregister(hwnd_);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace mv

void ShowTrayIconWindow(HWND owner, const SessionSteps& steps) {
    mv::CDlgUpdaterIcon dialog(steps);
    dialog.Run(owner);
}
