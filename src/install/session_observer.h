// Whoever watches an update session: where the steps' texts go, who answers their questions,
// and what a window does when a step ends. The steps never show a box themselves; the windows
// and the silent mode implement this (src/ui). Called on the session's thread.
#pragma once
#include <windows.h>

#include <string>

class SessionObserver {
public:
    virtual ~SessionObserver() = default;

    // The window that receives the steps' status texts and download reports; null: none.
    virtual HWND StatusWindow() { return nullptr; }
    // True when somebody is there to close a locked file and retry.
    virtual bool AnswersLockedFiles() { return false; }

    // "Find main program [...] not closed, Close it now?": true closes it.
    virtual bool AskCloseHost(const std::wstring& question) = 0;
    // "Can't overwrite the file,Please close it." and the path: true tests the file again.
    virtual bool AskRetryLocked(const std::wstring& text) {
        (void)text;
        return false;
    }

    // After the locked-file check: the stage it left and whether the session now goes on as
    // administrator.
    virtual void LocalCheckEnded(int stage, bool elevating) {
        (void)stage;
        (void)elevating;
    }
    // After copy and finish: the stage it left.
    virtual void CopyEnded(int stage) { (void)stage; }
};
