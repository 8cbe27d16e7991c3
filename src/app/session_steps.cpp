#include "app/session_steps.h"

#include "app/drivers.h"
#include "check/remote_check.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/locked_files.h"
#include "install/relaunch.h"

SessionSteps MakeSessionSteps(CUpdateApp* app) {
    SessionSteps s;
    s.remoteCheck = [](HWND w) { RunRemoteCheck(w); };
    s.startRemoteCheck = [](HWND w) { StartRemoteCheck(w); };
    s.download = [](HWND w) { DownloadAllFiles(w); };
    s.downloadDoneCount = [] { return DownloadDoneCount(); };
    s.checkLocal = [](HWND w) { RunCheckLocalStep(w); };
    s.copy = [](HWND w) { RunCopyStep(w); };
    s.startHost = [](bool interactive) { StartHostProgram(interactive); };
    s.elevationPending = [] { return !ElevationList().empty(); };
    s.clearElevation = [] { ClearElevationList(); };
    s.relaunchElevated = [] { return RelaunchAsAdministrator(true); };
    s.offerUpdate = [] { return OfferUpdate(); };
    s.runUpdate = [app](HWND owner) { ShowUpdateWindow(app, owner); };
    s.hostProgramRunning = [] { return !IsHostProgramClosed(nullptr); };
    return s;
}
