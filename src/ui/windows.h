// The updater's windows: the progress window and the tray-icon window. Both run modally on
// the calling thread. The steps of an update session are handed in by the caller, so that
// the windows know nothing of the drivers above them.
#pragma once
#include <windows.h>

#include <functional>

// Kinds of the most-simple progress window.
enum MostSimpleKind { MostSimpleUpdate = 0, MostSimpleCheck = 1, MostSimpleAppEnter = 2 };

// The operations the windows run. Each step sets the stage itself; `window` receives its
// status texts and download reports (null: none). Called on the windows' worker threads,
// except those marked "UI thread".
struct SessionSteps {
    // Hold the application directory for the session's steps (false: another session holds
    // it, the stage says so) and let it go again; both on the worker thread.
    std::function<bool()> beginSession;
    std::function<void()> endSession;
    std::function<void(HWND window)> remoteCheck;       // the whole remote check
    std::function<void(HWND window)> startRemoteCheck;  // the check entry of the check modes
    std::function<void(HWND window)> download;          // one download pass
    std::function<int()> downloadDoneCount;             // entries finished in this session
    std::function<void(HWND window)> checkLocal;        // the locked-file check
    std::function<void(HWND window)> copy;              // copy and finish
    // UI thread:
    std::function<void(bool interactive)> startHost;    // starts the host program
    std::function<bool()> elevationPending;             // files wait for administrator rights
    std::function<void()> clearElevation;
    std::function<bool()> relaunchElevated;             // saves the list and starts elevated
    std::function<bool()> offerUpdate;                  // AppEnter: offers the update found
    std::function<void(HWND owner)> runUpdate;          // tray: a whole session in the progress window
    std::function<bool()> hostProgramRunning;           // tray: the host program runs now
};

// Shows the most-simple progress window modally and returns when its worker has ended.
void ShowMostSimpleWindow(MostSimpleKind kind, HWND owner, const SessionSteps& steps);
// Shows the tray-icon window modally; returns when tray mode ends.
void ShowTrayIconWindow(HWND owner, const SessionSteps& steps);
