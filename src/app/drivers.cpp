#include "app/drivers.h"

#include "app/session_steps.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "ui/windows.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "check/remote_check.h"
#include "install/finish.h"

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
    StartHostProgram(true);
    return true;
}
void ShowUpdateWindow(CUpdateApp* app, HWND hostWindow) {
    GlobalValues::Set(L"updateskin", ReadSetting(L"Mirovane", L"Skin"));
    GlobalValues::Set(L"updateskin", L"mostsimple");
    ShowMostSimpleWindow(MostSimpleUpdate, hostWindow, MakeSessionSteps(app));
    ListCacheBookkeeping();
}
void UninstallCleanup() {}
