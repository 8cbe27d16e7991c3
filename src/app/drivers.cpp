#include "app/drivers.h"

#include "notify/host_windows.h"
#include "updatelist/download_list.h"
#include "check/remote_check.h"

// Until the session drivers land: a check runs, nothing is downloaded or installed.
bool RunSilent(HWND window) {
    if (TheDownLoadList().stage < UpdateCheckRemoteOk) RunRemoteCheck(window);
    SetStage(UpdateEnd);
    return true;
}
bool RunAppEnter(const std::wstring&) {
    StartRemoteCheck(nullptr);
    return OfferUpdate();
}
bool OfferUpdate() {
    SetStage(UpdateEnd);
    return true;
}
void ShowUpdateWindow(CUpdateApp*, HWND) {}
void UninstallCleanup() {}
