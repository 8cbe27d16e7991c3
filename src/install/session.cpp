#include "install/session.h"

#include <atomic>
#include <memory>

#include "check/remote_check.h"
#include "config/app_state.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "install/relaunch.h"
#include "lang/language.h"
#include "mirovane_host.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "config/settings.h"
#include "util/text.h"

namespace {

constexpr UINT_PTR kSwitchOn = MIROVANE_ON;
constexpr DWORD kGatePollMs = 100;
// A second session waits this long for the first to let go before it gives up.
constexpr DWORD kSessionLockWaitMs = 2000;

bool SwitchOn(HWND window, const wchar_t* property) {
    return reinterpret_cast<UINT_PTR>(GetPropW(window, property)) == kSwitchOn;
}

DWORD WindowProcess(HWND window) {
    DWORD pid = 0;
    if (window) GetWindowThreadProcessId(window, &pid);
    return pid;
}

// The error stage of the step a session would have started with.
int BusyStage(int stage) {
    if (stage < UpdateCheckRemoteOk) return UpdateCheckRemoteError;
    if (stage < UpdateDownloadOk) return UpdateDownloadError;
    return UpdateCheckLocalError;
}

// One session at a time in a process: a second window's worker must not run the steps over
// the first one's list.
std::atomic<bool> g_sessionRunning{false};


}  // namespace

GateAction DecideGate(bool alive, bool exitWhenKilled, bool paused) {
    if (!alive) return exitWhenKilled ? GateAction::End : GateAction::Go;
    return paused ? GateAction::Wait : GateAction::Go;
}

CSessionGate::CSessionGate(HWND host) : host_(host), process_(WindowProcess(host)) {
    if (Alive()) exitWhenKilled_ = SwitchOn(host_, MIROVANE_PROP_EXIT_WHEN_KILLED);
}

bool CSessionGate::Alive() const {
    return host_ && IsWindow(host_) && process_ != 0 && WindowProcess(host_) == process_;
}

bool CSessionGate::Pass() {
    if (!host_) return true;
    bool logged = false;
    for (;;) {
        const bool alive = Alive();
        bool paused = false;
        if (alive) {
            exitWhenKilled_ = SwitchOn(host_, MIROVANE_PROP_EXIT_WHEN_KILLED);
            paused = SwitchOn(host_, MIROVANE_PROP_PAUSED);
        }
        switch (DecideGate(alive, exitWhenKilled_, paused)) {
            case GateAction::Go:
                if (logged) WriteLog(Translate(L"MAIN", L"The update continues"));
                return true;
            case GateAction::End:
                WriteLog(Translate(L"MAIN", L"The host window is gone, the update ends"));
                return false;
            case GateAction::Wait:
                if (!logged) WriteLog(Translate(L"MAIN", L"The update is paused by the host program"));
                logged = true;
                Sleep(kGatePollMs);
                break;
        }
    }
}

bool HostProgramRunning() {
    const std::wstring host = HostProgramPath();
    if (host.empty()) return false;
    const DWORD self = GetCurrentProcessId();
    for (DWORD pid : ProcessIds())
        if (pid != self && ImageMatches(ProcessImagePath(pid), host, false)) return true;
    return false;
}

HostStart StartHostProgramUnlessRunning(bool interactive) {
    if (mv::Trim(ReadSetting(L"APPLICATION", L"Application")).empty()) return HostStart::NotStarted;
    if (HostProgramRunning()) {
        WriteLog(Translate(L"MAIN", L"The main program is running, not started again") + L"[" + HostProgramPath() + L"]");
        return HostStart::NotStarted;
    }
    WriteLog(Translate(L"MAIN", L"Start the main program") + L"[" + HostProgramPath() + L"]");
    return StartHostProgram(interactive);
}

bool HandOverToAdministrator() {
    if (RelaunchAsAdministrator(true)) return true;
    WriteLog(Translate(L"MAIN", L"The update could not continue as administrator; nothing was changed"));
    return false;
}

void EndUpdateSession(DownLoadList& list) {
    SetStage(list, UpdateEnd);
    StartHostProgramUnlessRunning(false);
    ListCacheBookkeeping();
}

SessionEnd RunSession(const SessionStart& start, const SessionSteps& steps, SessionObserver& observer) {
    // One session per application directory: a second one would download into and copy over
    // what the first is installing, or start the host program under it.
    if (!steps.hold()) return SessionEnd::Busy;
    bool held = true;
    auto finish = [&] {
        if (held) steps.release();
        steps.end();
        return SessionEnd::Finished;
    };

    int stage = start.stage;
    if (stage < UpdateCheckRemoteOk || (stage == UpdateCheckRemoteOk && start.recheck)) {
        const StepResult r = steps.check(observer);
        if (r.stage != UpdateCheckRemoteOk || r.count == 0) return finish();
        if (!steps.gate()) return finish();
        stage = r.stage;
    } else if (stage < UpdateDownloadOk && start.files == 0) {
        return finish();
    }
    if (stage >= UpdateCheckRemoteOk && stage < UpdateDownloadOk) {
        StepResult r = steps.download(observer);
        for (int pass = 0; pass < kDownloadRetryPasses && r.stage == UpdateDownloadError && r.count != 0; ++pass)
            r = steps.download(observer);
        if (r.stage != UpdateDownloadOk) return finish();
        if (!steps.gate()) return finish();
        stage = r.stage;
    }
    if (stage == UpdateDownloadOk || stage == UpdateCheckLocal) {
        const StepResult r = steps.checkLocal(observer);
        // An elevated copy never hands on again: it reports what it cannot write instead.
        const bool elevating = r.count > 0 && !start.relaunched;
        observer.LocalCheckEnded(r.stage, elevating);
        if (elevating) {
            // The elevated copy takes the directory over; it must not find it held.
            steps.release();
            held = false;
            if (steps.relaunch()) return SessionEnd::Relaunched;
            return finish();
        }
        if (r.stage != UpdateCheckLocalOk) return finish();
        if (!steps.gate()) return finish();
        stage = r.stage;
    }
    if (stage == UpdateCheckLocalOk) observer.CopyEnded(steps.copy(observer).stage);
    return finish();
}

SessionSteps UpdateSessionSteps(HWND host, DownLoadList& list) {
    auto gate = std::make_shared<CSessionGate>(host);
    // Every step works on the session's list and says where it left it.
    DownLoadList* l = &list;
    SessionSteps s;
    s.hold = [l] {
        if (BeginInstallSession(kSessionLockWaitMs)) return true;
        WriteLog(InstallLockBusyText());
        SetStage(*l, BusyStage(l->stage));
        return false;
    };
    s.release = [] { EndInstallSession(); };
    s.check = [l](SessionObserver& o) {
        RunRemoteCheck(o.StatusWindow(), *l);
        return StepResult{l->stage, l->FileCount()};
    };
    s.download = [l](SessionObserver& o) {
        DownloadAllFiles(o.StatusWindow(), *l);
        return StepResult{l->stage, DownloadDoneCount()};
    };
    s.checkLocal = [l](SessionObserver& o) {
        RunCheckLocalStep(o, *l);
        if (AppState::relaunched) ClearElevationList();
        return StepResult{l->stage, static_cast<int>(ElevationList().size())};
    };
    s.copy = [l](SessionObserver& o) {
        RunCopyStep(o.StatusWindow(), *l);
        return StepResult{l->stage, 0};
    };
    s.gate = [gate] { return gate->Pass(); };
    s.relaunch = [host, l] {
        const std::wstring text = Translate(L"MAIN", L"continue update as administrator");
        SendStatusText(host, text, -1);
        WriteLog(text);
        if (HandOverToAdministrator()) return true;
        // Nobody continues the update: the host program this session closed must come back.
        SetStage(*l, UpdateCheckLocalError);
        return false;
    };
    s.end = [l] { EndUpdateSession(*l); };
    return s;
}

SessionStart SessionStartOf(const DownLoadList& list) {
    SessionStart start;
    start.stage = list.stage;
    start.files = list.FileCount();
    start.recheck = !list.subListUrls.empty();
    start.relaunched = AppState::relaunched;
    return start;
}

SessionEnd RunUpdateSession(HWND host, SessionObserver& observer) {
    bool expected = false;
    if (!g_sessionRunning.compare_exchange_strong(expected, true)) {
        WriteLog(L"An update is already running in this process; this one ends");
        return SessionEnd::Busy;
    }
    // The driver hands the process-wide list (what start-up loaded, what the host program is
    // told about) to the steps; nothing below it reaches for that list itself.
    DownLoadList& list = TheDownLoadList();
    const SessionEnd end = RunSession(SessionStartOf(list), UpdateSessionSteps(host, list), observer);
    g_sessionRunning = false;
    return end;
}
