// The updater's windows: the progress window and the tray-icon window. Both run modally on
// the calling thread. What lies above the windows (the session, the offer) is handed in by
// the caller, so that the windows know nothing of the drivers above them.
#pragma once
#include <windows.h>

#include <functional>

#include "install/session.h"

// Kinds of the most-simple progress window.
enum MostSimpleKind { MostSimpleUpdate = 0, MostSimpleCheck = 1, MostSimpleAppEnter = 2 };

// What the windows start. Called on the windows' worker threads, except those marked
// "UI thread".
struct WindowActions {
    // A whole update session watched by `observer` (the progress window), with `host` as the
    // window its gate watches.
    std::function<SessionEnd(HWND host, SessionObserver& observer)> runSession;
    std::function<void(HWND window)> startRemoteCheck;  // the check entry of the check modes
    // UI thread:
    std::function<bool()> elevationPending;             // files wait for administrator rights
    std::function<bool()> relaunchElevated;             // saves the list and starts elevated
    std::function<bool()> offerUpdate;                  // AppEnter: offers the update found
    std::function<bool(HWND owner)> runUpdate;          // tray: a whole session in the progress window;
                                                        // true when it installed the new files
    std::function<bool()> hostProgramRunning;           // tray: the host program runs now
    std::function<void()> forgetSession;                // tray: a new check or session starts afresh
    std::function<int()> filesFound;                    // tray: files the last check found
};

// How the progress window's work ended.
struct WindowOutcome {
    SessionEnd end = SessionEnd::Finished;  // Relaunched: an elevated copy took the work over
    bool installed = false;                 // the copy step put the new files in place
};
// Shows the most-simple progress window modally and returns when its worker has ended.
WindowOutcome ShowMostSimpleWindow(MostSimpleKind kind, HWND owner, const WindowActions& actions);
// Shows the tray-icon window modally; returns when tray mode ends.
void ShowTrayIconWindow(HWND owner, const WindowActions& actions);

// Shows a message box: what the lower modules' PromptUser shows (notify/user_prompt.h).
int ShowPromptBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);

// Asks a session's questions in message boxes owned by `window`, which also receives its
// status texts (null: none; the boxes then have no owner). `answersLockedFiles`: a locked
// file is offered to close and retry.
class BoxObserver : public SessionObserver {
public:
    BoxObserver(HWND window, bool answersLockedFiles) : window_(window), answersLocked_(answersLockedFiles) {}
    HWND StatusWindow() override { return window_; }
    bool AnswersLockedFiles() override { return answersLocked_; }
    bool AskCloseHost(const std::wstring& question) override;
    bool AskRetryLocked(const std::wstring& text) override;

private:
    HWND window_;
    bool answersLocked_;
};
