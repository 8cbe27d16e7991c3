#include "ui/dlg_most_simple.h"

#include <commctrl.h>

#include <algorithm>

#include "config/app_state.h"
#include "mirovane_host.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "resources/resource_ids.h"
#include "ui/progress_rules.h"
#include "ui/window_class.h"
#include "updatelist/download_list.h"
#include "util/com.h"
#include "util/text.h"

namespace mv {

namespace {

// The product's fixed title; the translator's "Mirovane" stands in when it is empty.
constexpr wchar_t kTitle[] = L"Mirovane";

// Whether step 4 may follow at once: from `window` up through its parents, the first one with
// a child control MIROVANE_ID_AUTO_CONTINUE decides by that control's check state; without
// one it may.
bool AutoContinue(HWND window) {
    for (HWND w = window; w; w = GetParent(w))
        if (HWND box = GetDlgItem(w, MIROVANE_ID_AUTO_CONTINUE))
            return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    return true;
}

}  // namespace

CDlgMostSimple::CDlgMostSimple(MostSimpleKind kind, const WindowActions& actions) : kind_(kind), actions_(actions) {}

CDlgMostSimple::~CDlgMostSimple() {
    if (brush_) DeleteObject(brush_);
}

INT_PTR CDlgMostSimple::Run(HWND owner) {
    owner_ = owner;
    RegisterDialogClass(kClassName);
    const INT_PTR r = DoModal(GetModuleHandleW(nullptr), MV_DLG_PROGRESS, owner);
    // The window ends only after its worker; a worker that could not even be started has
    // nothing to wait for.
    if (worker_) WaitForSingleObject(worker_.get(), INFINITE);
    return r;
}

BOOL CDlgMostSimple::OnInitDialog() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    // 1. The two animations.
    first_.Attach(GetDlgItem(hwnd_, MV_IDC_PICTURE_FIRST));
    second_.Attach(GetDlgItem(hwnd_, MV_IDC_PICTURE_SECOND));
    if (first_.Load(module, MAKEINTRESOURCEW(MV_GIF_FIRST), L"GIF")) first_.Draw();
    if (second_.Load(module, MAKEINTRESOURCEW(MV_GIF_SECOND), L"GIF")) second_.Draw();
    // 2. Title.
    std::wstring title = kTitle;
    if (title.empty()) title = Translate(L"MAIN", L"Mirovane");
    SetWindowTextW(hwnd_, title.c_str());
    if (HICON icon = LoadIconW(module, MAKEINTRESOURCEW(MV_ICON_APP))) {
        SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    // 3. This window follows the session like a host window.
    SetPropW(hwnd_, MIROVANE_PROP_NEEDMSG, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(MIROVANE_ON)));
    HostWindows::Register(hwnd_, true);
    // 5. The bar.
    HWND bar = GetDlgItem(hwnd_, MV_IDC_PROGRESS);
    SendMessageW(bar, PBM_SETBARCOLOR, 0, 0x00E4FF);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    // 6. The minimise button and what the first seconds hide.
    minimise_.Attach(GetDlgItem(hwnd_, MV_IDC_MINIMISE));
    minimise_.SetImages(module, 0, false, MV_BMP_MINIMISE, MV_BMP_MINIMISE, 0);
    minimise_.SetButtonColours(0xEBD5B4, 0xEBD5B4, 0xEBD5B4, 0xEBD5B4, true);
    ShowWindow(minimise_.window(), SW_HIDE);
    ShowWindow(GetDlgItem(hwnd_, MV_IDC_PICTURE_SECOND), SW_HIDE);
    ShowWindow(GetDlgItem(hwnd_, MV_IDC_STATUS), SW_HIDE);
    SetDlgItemTextW(hwnd_, MV_IDC_STATUS, progress::StatusLine(0).c_str());
    // 7. Timers.
    theme_ = 0;
    elapsed_ = 0;
    remaining_ = 51;
    SetTimer(hwnd_, kSecondTimer, 1000, nullptr);
    SetTimer(hwnd_, kThemeTimer, 3000, nullptr);
    InvalidateRect(first_.window(), nullptr, FALSE);
    // 4. The worker, last, so that everything it reports to is in place.
    workerRunning_ = true;
    HANDLE t = CreateThread(nullptr, 0, kind_ == MostSimpleUpdate ? UpdateWorker : CheckWorker, this, 0, nullptr);
    if (!t) {
        WriteLog(Format(L"CreateThread (progress window worker) failed: %lu", GetLastError()));
        workerRunning_ = false;
        PostMessageW(hwnd_, WM_COMMAND, kWorkerEnded, 0);
    }
    worker_.reset(t);
    return TRUE;
}

DWORD WINAPI CDlgMostSimple::UpdateWorker(LPVOID param) {
    auto* self = static_cast<CDlgMostSimple*>(param);
    {
        ComInit com;
        if (self->actions_.runSession) self->end_ = self->actions_.runSession(self->owner_, *self);
    }
    self->EndWorker();
    return 0;
}

bool CDlgMostSimple::AskCloseHost(const std::wstring& question) {
    return MessageBoxW(hwnd_, question.c_str(), BoxCaption().c_str(), MB_YESNO | MB_ICONQUESTION) ==
           IDYES;
}

void CDlgMostSimple::LocalCheckEnded(int stage, bool elevating) {
    HWND parent = GetParent(hwnd_);
    const LPARAM step = (elevating || stage >= UpdateCheckLocal) ? MIROVANE_STEP_LOCAL_CHECKED : 0;
    if (parent) PostMessageW(parent, MIROVANE_MSG_STEP_ENDED, 0, step);
    InvalidateRect(hwnd_, nullptr, TRUE);
    // Tells the parent that the copy follows; the session goes on whatever it answers.
    if (parent && stage > UpdateCheckLocalError && AutoContinue(hwnd_))
        PostMessageW(parent, WM_COMMAND, MIROVANE_CMD_CONTINUE, 0);
}

void CDlgMostSimple::CopyEnded(int stage) {
    installed_ = stage == UpdateCopyOk;
    if (HWND parent = GetParent(hwnd_))
        PostMessageW(parent, MIROVANE_MSG_STEP_ENDED, 0, stage >= UpdateCopyOk ? MIROVANE_STEP_COPIED : 0);
    SendMessageW(hwnd_, WM_COMMAND, kCopyDone, 0);
    SendMessageW(hwnd_, WM_COMMAND, kCopyEnded, 0);
}

DWORD WINAPI CDlgMostSimple::CheckWorker(LPVOID param) {
    auto* self = static_cast<CDlgMostSimple*>(param);
    {
        ComInit com;
        if (self->actions_.startRemoteCheck) self->actions_.startRemoteCheck(self->hwnd_);
    }
    self->EndWorker();
    return 0;
}

void CDlgMostSimple::EndWorker() {
    // The one way a worker ends: the flag, then the message the window closes on.
    workerRunning_ = false;
    PostMessageW(hwnd_, WM_COMMAND, kWorkerEnded, 0);
}

void CDlgMostSimple::OnWorkerEnded() {
    if (worker_) WaitForSingleObject(worker_.get(), 5000);
    RemovePropW(hwnd_, MIROVANE_PROP_NEEDMSG);
    HostWindows::Unregister(hwnd_);
    // An update session hands itself over; a check leaves what it could not write here.
    if (end_ != SessionEnd::Relaunched && kind_ != MostSimpleUpdate && actions_.elevationPending &&
        actions_.elevationPending() && actions_.relaunchElevated && actions_.relaunchElevated())
        end_ = SessionEnd::Relaunched;
    if (end_ == SessionEnd::Relaunched) {
        EndDialog(IDABORT);
        return;
    }
    switch (kind_) {
    case MostSimpleUpdate:
        // The completion line stays readable for two seconds; the loop keeps running.
        SetTimer(hwnd_, kCloseTimer, 2000, nullptr);
        break;
    case MostSimpleCheck:
        EndDialog(IDOK);
        break;
    case MostSimpleAppEnter:
        ShowWindow(hwnd_, SW_HIDE);
        if (actions_.offerUpdate) actions_.offerUpdate();
        EndDialog(IDOK);
        break;
    }
}

HBRUSH CDlgMostSimple::ThemeBrush() {
    const int theme = elapsed_ > 1 ? theme_ : 0;
    if (!brush_ || brushTheme_ != theme) {
        if (brush_) DeleteObject(brush_);
        brush_ = CreateSolidBrush(progress::ThemeBackground(theme));
        brushTheme_ = theme;
    }
    return brush_;
}

void CDlgMostSimple::OnTimer(UINT_PTR id) {
    if (id == kSecondTimer) {
        ++elapsed_;
        return;
    }
    if (id == kCloseTimer) {
        KillTimer(hwnd_, kCloseTimer);
        EndDialog(IDOK);
        return;
    }
    if (id != kThemeTimer) return;
    theme_ = progress::NextTheme(theme_);
    // The bar comes with the first tick after two seconds, wherever that tick lands.
    if (!barShown_ && elapsed_ >= 2) {
        theme_ = 1;
        barShown_ = true;
        ShowWindow(GetDlgItem(hwnd_, MV_IDC_PROGRESS), SW_SHOW);
    }
    ShowWindow(GetDlgItem(hwnd_, MV_IDC_STATUS), SW_SHOW);
    ShowWindow(first_.window(), SW_HIDE);
    ShowWindow(second_.window(), SW_SHOW);
    ShowWindow(minimise_.window(), SW_SHOW);
    const COLORREF c = progress::ThemeButton(theme_);
    minimise_.SetButtonColours(c, c, c, c, true);
    InvalidateRect(minimise_.window(), nullptr, FALSE);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void CDlgMostSimple::OnStatusText() {
    switch (stage_) {
    case UpdateCheckRemoteError:
    case UpdateDownloadError:
    case UpdateCheckLocalError:
    case UpdateCopyError:
        return;
    case UpdateCheckRemoteOk:
        progress_ = 10;
        break;
    case UpdateCopyOk:
    case UpdateEnd:
        progress_ = 100;
        break;
    default:
        if (stage_ > UpdateEnd) return;
        break;
    }
    Refresh();
}

void CDlgMostSimple::Refresh() {
    HWND status = GetDlgItem(hwnd_, MV_IDC_STATUS);
    SetWindowLongPtrW(status, GWL_STYLE, GetWindowLongPtrW(status, GWL_STYLE) | SS_CENTERIMAGE);
    HWND bar = GetDlgItem(hwnd_, MV_IDC_PROGRESS);
    if (progress_ >= 100) {
        KillTimer(hwnd_, kThemeTimer);
        KillTimer(hwnd_, kSecondTimer);
        SetWindowTextW(status, progress::StatusLine(100).c_str());
        SendMessageW(bar, PBM_SETPOS, 100, 0);
        highest_ = 100;
    } else if (progress_ > highest_) {
        SetWindowTextW(status, progress::StatusLine(progress_).c_str());
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(progress_), 0);
        highest_ = progress_;
    }
}

bool CDlgMostSimple::OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) {
    switch (msg) {
    case kStageMessage:
        stage_ = static_cast<int>(wp);
        *result = 0;
        return true;
    case kLogMessage:
        *result = 0;
        return true;
    case kCountsMessage:
        filesDone_ = static_cast<long>(wp);
        filesTotal_ = static_cast<long>(lp);
        *result = 0;
        return true;
    case kProgressMessage:
        if (auto p = progress::FromDownload(static_cast<long>(wp), static_cast<long>(lp), filesDone_, filesTotal_)) {
            progress_ = *p;
            if (auto r = progress::SecondsRemaining(progress_, elapsed_)) remaining_ = *r;
            Refresh();
        }
        *result = 0;
        return true;
    case kStatusTextMessage:
        OnStatusText();
        *result = 0;
        return true;
    case WM_TIMER:
        OnTimer(wp);
        *result = 0;
        return true;
    case WM_COMMAND:
        switch (LOWORD(wp)) {
        case kWorkerEnded:
            OnWorkerEnded();
            break;
        case kCopyDone:
            // The files are in place: the completion line, whatever texts the steps sent. A
            // failed copy never shows it.
            if (stage_ == UpdateCopyOk || stage_ == UpdateEnd) {
                progress_ = 100;
                Refresh();
            }
            break;
        case MV_IDC_MINIMISE:
            ShowWindow(hwnd_, SW_MINIMIZE);
            break;
        default:
            // Esc and Enter (IDCANCEL, IDOK) and everything else: the window closes only on
            // its worker's end, never in the middle of an update.
            break;
        }
        *result = 0;
        return true;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE) {  // Alt+F4 and the system menu
            *result = 0;
            return true;
        }
        return false;
    case WM_CLOSE:
        *result = 0;
        return true;
    case WM_CTLCOLORSTATIC:
        SetTextColor(reinterpret_cast<HDC>(wp), RGB(255, 255, 255));
        SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
        *result = reinterpret_cast<INT_PTR>(ThemeBrush());
        return true;
    case WM_CTLCOLORDLG:
        *result = reinterpret_cast<INT_PTR>(ThemeBrush());
        return true;
    case WM_ERASEBKGND: {
        RECT r;
        GetClientRect(hwnd_, &r);
        FillRect(reinterpret_cast<HDC>(wp), &r, ThemeBrush());
        *result = 1;
        return true;
    }
    case WM_DESTROY:
        KillTimer(hwnd_, kThemeTimer);
        KillTimer(hwnd_, kSecondTimer);
        KillTimer(hwnd_, kCloseTimer);
        RemovePropW(hwnd_, MIROVANE_PROP_NEEDMSG);
        HostWindows::Unregister(hwnd_);
        first_.Stop();
        second_.Stop();
        return false;
    default:
        return CDialogSK::OnMessage(msg, wp, lp, result);
    }
}

}  // namespace mv

WindowOutcome ShowMostSimpleWindow(MostSimpleKind kind, HWND owner, const WindowActions& actions) {
    mv::CDlgMostSimple dialog(kind, actions);
    dialog.Run(owner);
    return dialog.Outcome();
}
