// CDlgUpdaterIcon: tray mode. A hidden pop-up with a notification-area icon that checks for
// updates in the background, offers what it found with a countdown and three painted links
// (also on the icon's menu) and runs the update in the progress window.
//
// Every member runs on the window's thread. One busy flag, set here before a check worker
// starts and cleared by the worker's posted end message, keeps a check and an update (or
// two checks) from running at once on the shared session state.
#pragma once
#include <windows.h>

#include <map>
#include <string>

#include "check/check_schedule.h"
#include "ui/dialog_sk.h"
#include "mirovane_host.h"
#include "ui/updater_windows.h"
#include "util/handle.h"

namespace mv {

class CDlgUpdaterIcon : public CDialogBase {
public:
    static constexpr UINT kTrayCallback = WM_USER + 100;  // 1124
    static constexpr UINT kIconId = 1026;
    static constexpr UINT kStageMessage = MIROVANE_MSG_STAGE;
    static constexpr UINT kCheckEnded = WM_APP + 14;
    static constexpr UINT_PTR kTimerId = 1;  // the 500 ms tick
    static constexpr wchar_t kClassName[] = L"MirovaneTray";

    explicit CDlgUpdaterIcon(const WindowActions& actions);
    ~CDlgUpdaterIcon() override;
    INT_PTR Run(HWND owner);

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) override;

private:
    static DWORD WINAPI CheckWorker(LPVOID self);
    void StartCheck();
    void OnCheckEnded();
    void OnStage(int state, int count);
    void RebuildStatus();
    void UpdateCaption();
    void ShowPopup();
    void OnTimer();
    void RunUpdate(bool unattended);
    void StartCountdown();
    void StopCountdown();
    void OnTrayCallback(UINT event);
    void ShowMenu();
    void OnCommand(UINT id);
    void OnClick(POINT pt);
    void OnMouseMove(POINT pt);
    void OnPaint();
    void AddIcon();
    void ModifyTip();
    void End();
    struct Layout {
        RECT name, status, countdown;
        std::wstring countdownText;
        std::map<std::wstring, RECT> links;  // client coordinates, by link name
    };
    // Where the pop-up's lines and links go, measured with `font` on `dc`: the one layout that
    // painting, hit-testing and the links' windows share.
    Layout LayOut(HDC dc, HFONT font) const;
    void UpdateLayout();
    void CreateLinkWindows();
    std::wstring LinkAt(POINT pt) const;
    void InvalidateLink(const std::wstring& name, int inflate);
    bool OneShotMode() const;
    void ScheduleCheck(long long seconds, const wchar_t* after);

    WindowActions actions_;
    std::wstring status_;
    std::wstring result_;        // "Upgrade is completed"/"Upgrade is abort" until the next check
    HBITMAP background_ = nullptr, close_ = nullptr;
    SIZE backgroundSize_{0, 0};
    HICON icon_ = nullptr;
    int countdownTotal_ = 120;    // [Mirovane] TrayCountdown, read as each countdown starts
    int countdown_ = -1;
    ULONGLONG countdownStart_ = 0;
    int filesFound_ = 0;
    int checkState_ = 0;
    bool running_ = false;        // an update session started here runs
    bool busy_ = false;           // a check worker runs
    bool updateWaiting_ = false;  // the update starts when the running check ends
    std::wstring hovered_;
    ULONGLONG nextCheck_ = ~0ull; // ms; the timer starts the background check from then
    CheckRandom random_ = SeedCheckRandom();
    int failuresInRow_ = 0;       // background checks that failed in a row
    std::map<std::wstring, RECT> links_;
    std::map<std::wstring, HWND> linkWindows_;  // what screen readers and tools find of the links
    UINT taskbarCreated_ = 0;
    Handle worker_;
};

}  // namespace mv
