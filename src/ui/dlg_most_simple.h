// CDlgMostSimple: the small progress window. Its worker thread runs an update session (or a
// check); the window only observes: it follows the session through the notifications every
// host window gets, and as the session's observer tells its own parent when a step ends.
// It closes only when its worker has ended, through EndDialog; the caller then decides.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "ui/dialog_sk.h"
#include "ui/fx_button.h"
#include "ui/picture_ex.h"
#include "mirovane_host.h"
#include "ui/updater_windows.h"
#include "util/handle.h"

namespace mv {

class CDlgMostSimple : public CDialogSK, public SessionObserver {
public:
    // Messages and commands of the window.
    static constexpr UINT kStageMessage = MIROVANE_MSG_STAGE, kLogMessage = MIROVANE_MSG_LOG,
                          kCountsMessage = MIROVANE_MSG_FILE_COUNT, kProgressMessage = MIROVANE_MSG_PROGRESS,
                          kStatusTextMessage = MIROVANE_MSG_STATUS_TEXT;
    static constexpr WORD kWorkerEnded = 4380, kCopyDone = 4323, kCopyEnded = 4324;
    static constexpr UINT_PTR kThemeTimer = 10001, kSecondTimer = 10002, kCloseTimer = 10003;
    static constexpr wchar_t kClassName[] = L"MirovaneProgress";

    CDlgMostSimple(MostSimpleKind kind, const WindowActions& actions);
    ~CDlgMostSimple() override;
    INT_PTR Run(HWND owner);
    // How the window's work ended.
    WindowOutcome Outcome() const { return {end_, installed_}; }

    // The session's observer, on the worker thread: texts come here, locked files are only
    // reported, and the end of steps 3 and 4 is told to the parent (the host window).
    HWND StatusWindow() override { return hwnd_; }
    bool AskCloseHost(const std::wstring& question) override;
    void LocalCheckEnded(int stage, bool elevating) override;
    void CopyEnded(int stage) override;

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) override;

private:
    static DWORD WINAPI UpdateWorker(LPVOID self);
    static DWORD WINAPI CheckWorker(LPVOID self);
    void EndWorker();
    void OnWorkerEnded();
    void OnTimer(UINT_PTR id);
    void OnStatusText();
    void Refresh();
    HBRUSH ThemeBrush();

    MostSimpleKind kind_;
    WindowActions actions_;
    HWND owner_ = nullptr;
    SessionEnd end_ = SessionEnd::Finished;
    bool installed_ = false;
    int stage_ = 0;
    long filesTotal_ = 0, filesDone_ = 0;
    double progress_ = 1.0;
    int theme_ = 0;
    int elapsed_ = 0;
    int remaining_ = 51;
    double highest_ = 0;
    bool barShown_ = false;
    std::atomic<bool> workerRunning_{false};
    Handle worker_;
    CPictureEx first_, second_;
    CFxButton minimise_;
    HBRUSH brush_ = nullptr;
    int brushTheme_ = -1;
};

}  // namespace mv
