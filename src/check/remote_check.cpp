#include "check/remote_check.h"

#include "updatelist/download_list.h"

int StartRemoteCheck(HWND window) {
    RunRemoteCheck(window);
    return 0;
}
void RunRemoteCheck(HWND) {
    SetStage(UpdateCheckRemote);
    SetStage(UpdateCheckRemoteOk);
}
void ListBaseFromUrl(const std::wstring&) {}
