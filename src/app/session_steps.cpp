#include "app/session_steps.h"

#include "app/drivers.h"
#include "check/remote_check.h"

// Steps whose module is not part of this build stay empty: the window then skips them and
// the stage tells why the session stopped.
SessionSteps MakeSessionSteps(CUpdateApp* app) {
    SessionSteps s;
    s.remoteCheck = [](HWND w) { RunRemoteCheck(w); };
    s.startRemoteCheck = [](HWND w) { StartRemoteCheck(w); };
    s.offerUpdate = [] { return OfferUpdate(); };
    s.runUpdate = [app](HWND owner) { ShowUpdateWindow(app, owner); };
    return s;
}
