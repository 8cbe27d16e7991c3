#include "ui/dlg_most_simple.h"

#include <commctrl.h>

#include <algorithm>

#include "config/app_state.h"
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

std::atomic<bool> g_updateBusy{false};

// The product's fixed title; the translator's "Mirovane" stands in when it is empty.
constexpr wchar_t kTitle[] = L"Mirovane";

int Stage() { return TheDownLoadList().stage; }

// A step the caller did not hand in does nothing (and leaves the stage as it is).
void Step(const std::function<void(HWND)>& f, HWND w) {
    if (f) f(w);
}
int FileCount() { return TheDownLoadList().FileCount(); }

}  // namespace

bool CDlgMostSimple::UpdateBusy() { return g_updateBusy; }

CDlgMostSimple::CDlgMostSimple(MostSimpleKind kind, const SessionSteps& steps) : kind_(kind), steps_(steps) {}

CDlgMostSimple::~CDlgMostSimple() {
    if (brush_) DeleteObject(brush_);
}

INT_PTR CDlgMostSimple::Run(HWND owner) {
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
    SetPropW(hwnd_, L"mirovane.needmsg", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1974)));
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
    ComInit com;
    bool expected = false;
    if (g_updateBusy.compare_exchange_strong(expected, true)) {
        if (!self->steps_.beginSession || self->steps_.beginSession()) {
            self->RunUpdateSteps();
            if (self->steps_.endSession) self->steps_.endSession();
        }
        g_updateBusy = false;
    } else {
        WriteLog(L"An update is already running; this window ends");
    }
    self->EndWorker();
    return 0;
}

void CDlgMostSimple::RunUpdateSteps() {
    const HWND w = hwnd_;
    // 1. The remote check, twice when the list came from a version page.
    if (Stage() <= UpdateCheckRemoteError) {
        Step(steps_.remoteCheck, w);
        if (Stage() != UpdateCheckRemoteOk) return;
    } else if (Stage() == UpdateCheckRemoteOk && !TheDownLoadList().subListUrls.empty()) {
        Step(steps_.remoteCheck, w);
        if (Stage() != UpdateCheckRemoteOk) return;
    }
    // 2. The download, with up to four further passes while each pass finishes something.
    if (Stage() < UpdateDownloadOk && FileCount() > 0) {
        Step(steps_.download, w);
        for (int pass = 0; pass < 4 && Stage() == UpdateDownloadError && steps_.downloadDoneCount && steps_.downloadDoneCount() != 0; ++pass)
            Step(steps_.download, w);
        if (Stage() != UpdateDownloadOk) return;
    }
    // 3. The locked-file check.
    if (Stage() <= UpdateCheckLocalError && FileCount() > 0) {
        Step(steps_.checkLocal, w);
        if (Stage() != UpdateCheckLocalOk) return;
    }
    // 4. Copy and finish.
    bool done = true;
    if (Stage() <= UpdateCopyError && FileCount() > 0) {
        Step(steps_.copy, w);
        done = Stage() == UpdateCopyOk || Stage() == UpdateEnd;
    }
    if (done) PostMessageW(w, WM_COMMAND, kCopyDone, 0);
}

DWORD WINAPI CDlgMostSimple::CheckWorker(LPVOID param) {
    auto* self = static_cast<CDlgMostSimple*>(param);
    {
        ComInit com;
        if (Stage() < UpdateCheckRemoteOk) Step(self->steps_.startRemoteCheck, self->hwnd_);
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
    RemovePropW(hwnd_, L"mirovane.needmsg");
    HostWindows::Unregister(hwnd_);
    if (AppState::relaunched && steps_.clearElevation) steps_.clearElevation();
    if (steps_.elevationPending && steps_.elevationPending()) {
        if (steps_.relaunchElevated) steps_.relaunchElevated();
        EndDialog(IDABORT);
        return;
    }
    switch (kind_) {
    case MostSimpleUpdate:
        if (steps_.startHost) steps_.startHost(false);
        // The completion line stays readable for two seconds; the loop keeps running.
        SetTimer(hwnd_, kCloseTimer, 2000, nullptr);
        break;
    case MostSimpleCheck:
        EndDialog(IDOK);
        break;
    case MostSimpleAppEnter:
        ShowWindow(hwnd_, SW_HIDE);
        if (steps_.offerUpdate) steps_.offerUpdate();
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
            // The files are in place: the completion line, whatever texts the steps sent.
            progress_ = 100;
            Refresh();
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
        RemovePropW(hwnd_, L"mirovane.needmsg");
        HostWindows::Unregister(hwnd_);
        first_.Stop();
        second_.Stop();
        return false;
    default:
        return CDialogSK::OnMessage(msg, wp, lp, result);
    }
}

}  // namespace mv

void ShowMostSimpleWindow(MostSimpleKind kind, HWND owner, const SessionSteps& steps) {
    mv::CDlgMostSimple dialog(kind, steps);
    dialog.Run(owner);
}
