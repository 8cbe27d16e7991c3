// An update session from the current stage to its end: remote check, download with retries,
// local check, the elevated relaunch, copy and finish, then the end sequence that starts the
// host program again. The silent driver runs it on the main thread; a progress window runs it
// on its worker thread with its own status window.
#pragma once
#include <windows.h>

#include <string>

// What a gate between two steps decides, from what it sees of the host window.
enum class GateAction { Go, Wait, End };
// `alive`: the window exists and still belongs to the process it belonged to at the start.
// `exitWhenKilled`: the last "mirovane.exitwhenwndkilled" switch read while it was alive.
GateAction DecideGate(bool alive, bool exitWhenKilled, bool paused);

// The host window's switches as the session sees them. A property of a window that is gone
// reads 0, so the exit switch is remembered from the last read while the window lived; a
// handle reused by another process's window does not count as the host window.
class CSessionGate {
public:
    explicit CSessionGate(HWND host);
    // Waits while the session is paused; false when the session must end now.
    bool Pass();

private:
    bool Alive() const;
    HWND host_;
    DWORD process_ = 0;
    bool exitWhenKilled_ = false;
};

enum class SessionEnd {
    Finished,    // the end sequence ran (whatever the steps' result)
    Relaunched,  // an elevated copy continues; this process ends without the end sequence
    Busy,        // another session holds the application directory; nothing was done
};

// Runs the steps. `window` receives the status texts and is handed to every step (null: no
// window, no questions about locked files); `host` is the host window the gate watches and
// the "continue as administrator" text goes to (null: no gate).
SessionEnd RunUpdateSession(HWND window, HWND host);

// The end sequence: stage UpdateEnd, the host program started unless it is running, the list
// cache bookkeeping.
void EndUpdateSession();

// Starts the host program ([APPLICATION] Application) unless a process runs that executable
// already; logs which of the two happened.
void StartHostProgramUnlessRunning(bool interactive);
bool HostProgramRunning();
