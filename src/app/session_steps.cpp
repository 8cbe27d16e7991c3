#include "app/session_steps.h"

#include "app/drivers.h"
#include "check/remote_check.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/locked_files.h"
#include "install/install_lock.h"
#include "install/relaunch.h"
#include "install/session.h"

SessionSteps MakeSessionSteps(CUpdateApp* app) {
    SessionSteps s;
    s.beginSession = [] { return HoldDirectoryForSession(); };
    s.endSession = [] { EndInstallSession(); };
    s.remoteCheck = [](HWND w) { RunRemoteCheck(w); };
    s.startRemoteCheck = [](HWND w) { StartRemoteCheck(w); };
    s.download = [](HWND w) { DownloadAllFiles(w); };
    s.downloadDoneCount = [] { return DownloadDoneCount(); };
    s.checkLocal = [](HWND w) { RunCheckLocalStep(w); };
    s.copy = [](HWND w) { RunCopyStep(w); };
    s.startHost = [](bool interactive) { StartHostProgramUnlessRunning(interactive); };
    s.elevationPending = [] { return !ElevationList().empty(); };
    s.clearElevation = [] { ClearElevationList(); };
    s.relaunchElevated = [] {
        if (!ContinueAsAdministrator()) return false;
        NoteSessionHandedOver();
        return true;
    };
    s.offerUpdate = [] { return OfferUpdate(); };
    s.runUpdate = [app](HWND owner) { ShowUpdateWindow(app, owner); };
    s.hostProgramRunning = [] { return !IsHostProgramClosed(nullptr); };
    return s;
}
