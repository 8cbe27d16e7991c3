#include "ui/dotnet_dialog.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "config/settings.h"
#include "download/segmented.h"
#include "install/dotnet.h"
#include "lang/language.h"
#include "notify/log.h"
#include "resources/resource_ids.h"
#include "ui/block_view.h"
#include "ui/dialog_sk.h"
#include "updatelist/list_cache.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

// Shared by the dialog and its download thread; the thread knows only the view's handle.
struct InstallerDownload {
    std::wstring url;
    std::wstring path;
    HWND view = nullptr;
    std::atomic<long> downloadId{0};
    std::atomic<bool> cancelled{false};
};

DWORD WINAPI DownloadThread(void* param) {
    std::unique_ptr<std::shared_ptr<InstallerDownload>> holder(static_cast<std::shared_ptr<InstallerDownload>*>(param));
    std::shared_ptr<InstallerDownload> job = *holder;
    bool ok = false;
    if (!job->path.empty()) {
        CMyDownload download;
        download.threads = std::max(DownloadConnectionsPerFile(), 1);
        job->downloadId = download.id;
        if (!job->cancelled) ok = download.DownloadFile(job->url, job->path, false, -1, job->view);
        SetFileAttributesW(job->path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!ok) RemoveFile(job->path);
    }
    if (!job->cancelled)
        PostMessageW(job->view, WM_COMMAND, MAKEWPARAM(ok ? kBlockViewCompleted : kBlockViewFailed, 0), 0);
    return 0;
}

class CDlgDownDotnet : public mv::CDialogBase {
public:
    std::wstring url, path, version;
    int mode = 0;  // 0 initial, 1 downloaded, 2 download failed

    INT_PTR DoModal(HWND owner) { return CDialogBase::DoModal(GetModuleHandleW(nullptr), MV_IDD_DOWN_DOTNET, owner); }

private:
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM, INT_PTR* result) override {
        switch (msg) {
        case WM_COMMAND:
            *result = 0;
            return OnCommand(LOWORD(wParam));
        case WM_CLOSE:
            OnExit();
            return true;
        default:
            return false;
        }
    }

    std::wstring WithVersion(const wchar_t* text) const {
        return mv::ReplaceAll(Translate(L"MAIN", text), L"2.0", version);
    }

    BOOL OnInitDialog() override {
        TheLanguage().TranslateDialog(hwnd_, L"MAIN");
        const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
        SetWindowTextW(hwnd_, name.empty() ? WithVersion(L"Install NET Framework 2.0").c_str() : name.c_str());
        path = DotNetInstallerPath(GetTempDir(), url);
        if (!path.empty()) mv::CreateDirTree(mv::PathDir(path));
        view_ = CMyDownloadBlockView::CreateInPlaceOf(hwnd_, MV_IDC_DOTNET_AREA);
        if (view_) {
            view_->title = WithVersion(L"Install NET Framework 2.0");
            view_->message = WithVersion(L"Your software will need to install NET Framework 2.0,\nPlease download it and install.");
            view_->completedText = WithVersion(L"NET Framework 2.0 download is complete,\nPlease install it.");
            view_->failedText = WithVersion(L"NET Framework 2.0 download failed,\nPlease download again.");
        }
        return TRUE;
    }

    bool OnCommand(WORD id) {
        switch (id) {
        case IDOK:
            if (mode == 1)
                OnInstall();
            else
                StartDownload();
            return true;
        case IDCANCEL:
            OnExit();
            return true;
        case kBlockViewCompleted:
        case kBlockViewFailed:
            FinishDownload();
            EnableWindow(GetDlgItem(hwnd_, IDOK), TRUE);
            SetDlgItemTextW(hwnd_, IDOK, Translate(L"MAIN", id == kBlockViewCompleted ? L"Install" : L"Download").c_str());
            mode = id == kBlockViewCompleted ? 1 : 2;
            return true;
        default:
            return false;
        }
    }

    void StartDownload() {
        if (thread_ || !view_) return;
        EnableWindow(GetDlgItem(hwnd_, IDOK), FALSE);
        job_ = std::make_shared<InstallerDownload>();
        job_->url = url;
        job_->path = path;
        job_->view = view_->hwnd();
        if (path.empty()) WriteLog(mv::Format(Translate(L"MAIN", L"The installer address names no file: %s").c_str(), url.c_str()));
        auto* param = new std::shared_ptr<InstallerDownload>(job_);
        thread_.reset(CreateThread(nullptr, 0, DownloadThread, param, 0, nullptr));
        if (!thread_) {
            WriteLog(mv::Format(L"CreateThread failed (%lu)", GetLastError()));
            delete param;
            SendMessageW(view_->hwnd(), WM_COMMAND, MAKEWPARAM(kBlockViewFailed, 0), 0);
        }
    }

    // The thread has ended or is about to (it posted its result): join it.
    void FinishDownload() {
        if (thread_) WaitAnsweringMessages(thread_.get(), INFINITE);
        thread_.reset();
    }

    // Exit during the download: cancel it and wait for its thread, answering the progress
    // messages it sends to the view meanwhile, before the dialog and its view go.
    void StopDownload() {
        if (!thread_) return;
        job_->cancelled = true;
        WriteLog(Translate(L"MAIN", L"The installer download was cancelled"));
        for (;;) {
            // The download clears the flag when it starts, so it is set again until the end.
            if (const long id = job_->downloadId) SetThreadValue(kTagAbort, id, kAbortValue);
            if (WaitAnsweringMessages(thread_.get(), 50) == WAIT_OBJECT_0) break;
        }
        if (const long id = job_->downloadId) SetThreadValue(kTagAbort, id, 0);
        thread_.reset();
        if (!path.empty()) RemoveFile(path);
    }

    void OnInstall() {
        RunDotNetInstaller(hwnd_, url, path);
        EndDialog(IDOK);
    }

    void OnExit() {
        StopDownload();
        EndDialog(IDCANCEL);
    }

    CMyDownloadBlockView* view_ = nullptr;  // owned by its window
    std::shared_ptr<InstallerDownload> job_;
    mv::Handle thread_;
};

}  // namespace

void ShowDotNetDownloadDialog(HWND owner, const std::wstring& url, const std::wstring& version) {
    CDlgDownDotnet dlg;
    dlg.url = url;
    dlg.version = version;
    if (dlg.DoModal(owner) == -1) {  // logged by the dialog base
        MessageBoxW(owner,
                    mv::ReplaceAll(Translate(L"MAIN", L"You must install .Net Framework 1.0 to run main application."),
                                   L"1.0", version)
                        .c_str(),
                    ReadSetting(L"APPLICATION", L"Name").c_str(), MB_ICONEXCLAMATION);
    }
}
