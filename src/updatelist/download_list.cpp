#include "updatelist/download_list.h"

const wchar_t* UpdateStageName(int stage) {
    static const wchar_t* const names[] = {
        L"UpdateNone",          L"UpdateCheckRemote", L"UpdateCheckRemoteError", L"UpdateCheckRemoteOk",
        L"UpdateDownload",      L"UpdateDownloadError", L"UpdateDownloadOk",     L"UpdateCheckLocal",
        L"UpdateCheckLocalError", L"UpdateCheckLocalOk", L"UpdateCopy",          L"UpdateCopyError",
        L"UpdateCopyOk",        L"UpdateEnd",
    };
    return stage >= 0 && stage <= UpdateEnd ? names[stage] : L"";
}

DownLoadList& TheDownLoadList() {
    static DownLoadList list;
    return list;
}

// Until the saved list lands nothing is saved or restored.
bool SaveList(const std::wstring&) { return false; }
bool LoadList(const std::wstring&) { return false; }
