#include "app/prerequisites.h"

#include "app/drivers.h"
#include "check/remote_check.h"
#include "install/dotnet.h"
#include "install/finish.h"
#include "install/locked_files.h"
#include "lang/language.h"
#include "notify/log.h"
#include "ui/dotnet_dialog.h"
#include "ui/error_page.h"
#include "updatelist/download_list.h"
#include "util/files.h"

void RegisterPrerequisiteWindows() {
    RegisterDotNetDialog(&ShowDotNetDownloadDialog);
    RegisterHostMissingHandler(&HandleMissingHost);
}

bool HandleMissingHost(HWND owner) {
    // The retry's own attempt to start the host program comes back here: it shows no second
    // page; the loop below decides.
    static bool showing = false;
    if (showing) return false;
    showing = true;
    for (;;) {
        CErrorHandlingDlg page(owner);
        if (page.DoModal() != ErrorPageAction::Retry) break;
        WriteLog(Translate(L"MAIN", L"Retry: checking for updates again"));
        SetStage(UpdateNone);
        StartRemoteCheck(nullptr, TheDownLoadList());
        OfferUpdate();
        if (mv::FileExists(HostProgramPath())) break;
    }
    showing = false;
    return true;
}
