// The whole update session through the core driver, without windows, hooks or relaunch:
// remote check, download with its retry passes, local check and copy, each step's stage printed.
// scripts/bench.sh times it on the 500-file case, with and without signed lists.
//
//   update <appdir>          settings from <appdir>\mirovane.ini
#include <windows.h>

#include <string>
#include <vector>

#include "check/remote_check.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/locked_files.h"
#include "updatelist/download_list.h"
#include "util/com.h"
#include "util/files.h"
#include "util/text.h"

namespace {

void Say(const std::wstring& line) {
    std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

// Returns -1 for a command that is not one of these.
int RunUpdateCommand(const std::wstring& cmd, const std::vector<std::wstring>& a) {
    if (cmd != L"update" || a.size() != 1) return -1;
    std::wstring dir = a[0];
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    SetAppDir(dir);
    mv::ComInit com;
    DownLoadList& list = TheDownLoadList();
    RunRemoteCheck(nullptr);
    Say(mv::Format(L"check=%d files=%d", list.stage, list.FileCount()));
    if (list.stage != UpdateCheckRemoteOk || list.FileCount() == 0) return 0;
    DownloadAllFilesWithRetries(nullptr);
    Say(mv::Format(L"download=%d", list.stage));
    if (list.stage != UpdateDownloadOk) return 0;
    RunCheckLocalStep(nullptr);
    Say(mv::Format(L"local=%d", list.stage));
    RunCopyStep(nullptr);
    Say(mv::Format(L"copy=%d", list.stage));
    return 0;
}
