#include "app/drivers.h"

#include "updatelist/download_list.h"
#include "check/remote_check.h"

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
