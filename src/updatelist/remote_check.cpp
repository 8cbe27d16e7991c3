#include "updatelist/remote_check.h"

#include "notify/host_windows.h"
#include "updatelist/download_list.h"

// Until the remote check lands a check finds nothing to update.
int StartRemoteCheck(HWND window) {
    RunRemoteCheck(window);
    return 0;
}
void RunRemoteCheck(HWND) {
    SetStage(UpdateCheckRemote);
    SetStage(UpdateCheckRemoteOk);
}
void ListBaseFromUrl(const std::wstring&) {}
