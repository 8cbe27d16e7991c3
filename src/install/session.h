// The one update session: remote check, download with retries, local check, the elevated
// relaunch, copy and finish, then the end sequence that starts the host program again.
// `RunSession` alone decides what happens next, from what each step returned; the silent
// mode, the AppEnter modes, the progress window's worker and (through that window) the tray
// all come here. Whoever watches implements SessionObserver.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "install/finish.h"
#include "install/session_observer.h"
#include "updatelist/download_list.h"

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

// What a step returns: the stage it left and its one number (see SessionSteps).
struct StepResult {
    int stage = 0;
    int count = 0;
};

// Where a session starts: the stage and values an earlier check or process left.
struct SessionStart {
    int stage = 0;        // UpdateNone; UpdateCheckRemoteOk after a check; UpdateDownloadOk after a relaunch
    int files = 0;        // files to update, when a check already ran
    bool recheck = false; // the check named lists on a version page: they are fetched again
    bool relaunched = false;
};

// The steps of a session. Each sets its own stages (the host program follows them) and
// returns the stage it left.
struct SessionSteps {
    std::function<bool()> hold;     // holds the application directory; false: another session does
    std::function<void()> release;  // lets it go again
    std::function<StepResult(SessionObserver&)> check;       // count: files to update
    std::function<StepResult(SessionObserver&)> download;    // one pass; count: entries finished
    std::function<StepResult(SessionObserver&)> checkLocal;  // count: files needing administrator rights
    std::function<StepResult(SessionObserver&)> copy;
    std::function<bool()> gate;     // between steps; false: the session ends now
    std::function<bool()> relaunch; // true: an elevated copy took the session over
    std::function<void()> end;      // the end sequence
};

// Download passes after the first while each pass finishes something.
constexpr int kDownloadRetryPasses = 4;

// The order of a session.
SessionEnd RunSession(const SessionStart& start, const SessionSteps& steps, SessionObserver& observer);

// The real steps; `host` is the window the gate watches and the "continue as administrator"
// text goes to (null: no gate).
SessionSteps UpdateSessionSteps(HWND host, DownLoadList& list);
// Where a list says a session starts.
SessionStart SessionStartOf(const DownLoadList& list);
// A whole session with the real steps, one at a time in a process (a second call meanwhile
// logs a line and returns Busy).
SessionEnd RunUpdateSession(HWND host, SessionObserver& observer);

// The end sequence: stage UpdateEnd, the host program started unless it is running, the list
// cache bookkeeping.
void EndUpdateSession(DownLoadList& list);

// Saves the list and starts an elevated copy to continue; logs when that failed (nothing
// was changed then).
bool HandOverToAdministrator();

// Starts the host program ([APPLICATION] Application) unless a process runs that executable
// already; logs which of the two happened.
HostStart StartHostProgramUnlessRunning(bool interactive);
bool HostProgramRunning();
