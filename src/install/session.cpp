#include "install/session.h"

#include "check/remote_check.h"
#include "config/app_state.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "install/relaunch.h"
#include "lang/language.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "config/settings.h"
#include "util/text.h"

namespace {

constexpr UINT_PTR kSwitchOn = 1974;
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

}  // namespace

GateAction DecideGate(bool alive, bool exitWhenKilled, bool paused) {
    if (!alive) return exitWhenKilled ? GateAction::End : GateAction::Go;
    return paused ? GateAction::Wait : GateAction::Go;
}

CSessionGate::CSessionGate(HWND host) : host_(host), process_(WindowProcess(host)) {
    if (Alive()) exitWhenKilled_ = SwitchOn(host_, L"mirovane.exitwhenwndkilled");
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
            exitWhenKilled_ = SwitchOn(host_, L"mirovane.exitwhenwndkilled");
            paused = SwitchOn(host_, L"mirovane.paused");
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

void StartHostProgramUnlessRunning(bool interactive) {
    if (mv::Trim(ReadSetting(L"APPLICATION", L"Application")).empty()) return;
    if (HostProgramRunning()) {
        WriteLog(Translate(L"MAIN", L"The main program is running, not started again") + L"[" + HostProgramPath() + L"]");
        return;
    }
    WriteLog(Translate(L"MAIN", L"Start the main program") + L"[" + HostProgramPath() + L"]");
    StartHostProgram(interactive);
}

void EndUpdateSession() {
    SetStage(UpdateEnd);
    StartHostProgramUnlessRunning(false);
    ListCacheBookkeeping();
}

SessionEnd RunUpdateSession(HWND window, HWND host) {
    DownLoadList& list = TheDownLoadList();
    // One session per application directory: a second one would download into and copy over
    // what the first is installing, or start the host program under it.
    if (!BeginInstallSession(kSessionLockWaitMs)) {
        WriteLog(Translate(L"MAIN", L"Another update of this application is running"));
        SetStage(BusyStage(list.stage));
        return SessionEnd::Busy;
    }
    CSessionGate gate(host);
    auto finish = [] {
        EndInstallSession();
        EndUpdateSession();
        return SessionEnd::Finished;
    };

    if (list.stage < UpdateCheckRemoteOk) {
        RunRemoteCheck(window);
        if (list.FileCount() == 0) return finish();
        if (!gate.Pass()) return finish();
    }
    if (list.stage == UpdateCheckRemoteOk) {
        DownloadAllFilesWithRetries(window);
        if (!gate.Pass()) return finish();
    }
    if (list.stage == UpdateDownloadOk) {
        RunCheckLocalStep(window);
        if (!gate.Pass()) return finish();
    }
    if (AppState::relaunched) ClearElevationList();
    if (!ElevationList().empty()) {
        const std::wstring text = Translate(L"MAIN", L"continue update as administrator");
        SendStatusText(host, text, -1);
        WriteLog(text);
        // The elevated copy takes the directory over; it must not find it held.
        EndInstallSession();
        if (RelaunchAsAdministrator(true)) return SessionEnd::Relaunched;
        // Nobody continues the update: the host program this session closed must come back.
        WriteLog(Translate(L"MAIN", L"The update could not continue as administrator; nothing was changed"));
        SetStage(UpdateCheckLocalError);
        EndUpdateSession();
        return SessionEnd::Finished;
    }
    if (list.stage == UpdateCheckLocalOk) {
        RunCopyStep(window);
        if (!gate.Pass()) return finish();
    }
    return finish();
}
