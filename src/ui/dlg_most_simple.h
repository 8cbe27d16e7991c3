// CDlgMostSimple: the small progress window. It runs an update (or a check) on a worker
// thread of its own and follows it through the notifications every host window gets.
// It closes only when its worker has ended, through EndDialog; the caller then decides.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "ui/dialog_sk.h"
#include "ui/fx_button.h"
#include "ui/picture_ex.h"
#include "ui/windows.h"
#include "util/handle.h"

namespace mv {

class CDlgMostSimple : public CDialogSK {
public:
    // Messages and commands of the window.
    static constexpr UINT kStageMessage = 1974, kLogMessage = 1975, kCountsMessage = 1976,
                          kProgressMessage = 1978, kStatusTextMessage = 1034;
    static constexpr WORD kWorkerEnded = 4380, kCopyDone = 4323;
    static constexpr UINT_PTR kThemeTimer = 10001, kSecondTimer = 10002, kCloseTimer = 10003;
    static constexpr wchar_t kClassName[] = L"MirovaneProgress";

    CDlgMostSimple(MostSimpleKind kind, const SessionSteps& steps);
    ~CDlgMostSimple() override;
    INT_PTR Run(HWND owner);

    // True while an update worker of this process runs (one at a time).
    static bool UpdateBusy();

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) override;

private:
    static DWORD WINAPI UpdateWorker(LPVOID self);
    static DWORD WINAPI CheckWorker(LPVOID self);
    void RunUpdateSteps();
    void EndWorker();
    void OnWorkerEnded();
    void OnTimer(UINT_PTR id);
    void OnStatusText();
    void Refresh();
    HBRUSH ThemeBrush();

    MostSimpleKind kind_;
    SessionSteps steps_;
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
