// Install commands of the core driver: fill the download list from a release directory as
// the download engine would leave it, run the local check and the copy step, and stop the
// process after the k-th file operation of the install code to show recovery.
//
//   startup <appdir>                       the start-up work: recovery, backups, version
//   install <appdir> <releasedir> [opt=value...]
//       steps=check|copy|both (both)  kill=<k>  version=<v>  skin=<updateskin>
//       stage=0|1 (1: put the release files into the download directory)
//       window=1 (the steps report to a window of this process, so locked files are asked about)
//       refetch=<url> (no cached list: the copy step fetches it again from <url>)
//   holdlock <appdir> <ms>                 holds the install lock of the directory
//   squatlock <appdir> <ms> <sddl|->       makes and holds a mutex by the install lock's name
//                                          with that access list (-: the default), as a user would
//   runtask <appdir> <file.xml>            runs a task file
//   runentry <appdir> <packed entry>       runs one run-list entry
//   closepath <path>                       closes the programs running from path
//   writable <path>                        the write test of one file
//   starthost <appdir> <0|1>               starts the host program (1: interactive)
#include <windows.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "util/files.h"
#include "install/backups.h"
#include "install/file_ops.h"
#include "install/finish.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "ui/updater_windows.h"
#include "install/tasks.h"
#include "install/transaction.h"
#include "notify/host_windows.h"
#include "updatelist/download_list.h"
#include "updatelist/update_list.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/text.h"

namespace {

void Print(const std::wstring& line) {
    std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Dir(std::wstring d) {
    if (!d.empty() && d.back() != L'\\') d += L'\\';
    return d;
}

int Install(const std::vector<std::wstring>& a) {
    std::map<std::wstring, std::wstring> opt{{L"steps", L"both"}, {L"stage", L"1"}};
    for (size_t i = 2; i < a.size(); ++i) {
        size_t eq = a[i].find(L'=');
        if (eq == std::wstring::npos) return 2;
        opt[a[i].substr(0, eq)] = a[i].substr(eq + 1);
    }
    SetAppDir(Dir(a[0]));
    mv::ComInit com;
    const std::wstring release = Dir(a[1]);
    DownLoadList& list = TheDownLoadList();
    if (!LoadUpdateList(release + L"list.xml", list.records, true)) {
        Print(L"list=0");
        return 0;
    }
    SeparateSpecialRecords(list);
    list.workDir = ListCacheDir();
    list.remoteVersion = opt[L"version"];
    if (!opt[L"skin"].empty()) GlobalValues::Set(L"updateskin", opt[L"skin"]);
    if (opt[L"stage"] == L"1") {
        for (const updatefileinfo& r : list.records) {
            const std::wstring from = release + r.path, to = JoinPath(list.workDir, r.path) + L"_";
            if (!mv::FileExists(from)) continue;
            mv::CreateDirTree(mv::PathDir(to));
            CopyFileW(from.c_str(), to.c_str(), FALSE);
        }
        mv::CreateDirTree(mv::PathDir(ListCacheXmlPath()));
        if (opt[L"refetch"].empty()) CopyFileW((release + L"list.xml").c_str(), ListCacheXmlPath().c_str(), FALSE);
    }
    // As the check records the address it fetched the list from.
    if (!opt[L"refetch"].empty()) GlobalValues::Set(L"__down|" + ListCacheXmlPath(), opt[L"refetch"]);
    Print(L"workdir=" + list.workDir);
    Print(mv::Format(L"records=%d tasks=%zu", list.FileCount(), list.runTasks.size()));

    static long ops = 0;
    static long killAt = 0;
    killAt = mv::ParseLong(opt[L"kill"]);
    ops = 0;
    SetFileOperationObserver([] {
        ++ops;
        if (killAt > 0 && ops >= killAt) TerminateProcess(GetCurrentProcess(), 99);
    });
    SetStage(UpdateDownloadOk);
    HWND window = nullptr;
    if (opt[L"window"] == L"1")
        window = CreateWindowW(L"STATIC", L"install driver", WS_OVERLAPPED, 0, 0, 100, 50, nullptr, nullptr, nullptr,
                               nullptr);
    if (opt[L"steps"] != L"copy") {
        // A window of its own is a person at the screen: locked files are asked about.
        BoxObserver observer(window, window != nullptr);
        RunCheckLocalStep(observer, list);
        Print(mv::Format(L"check=%d", list.stage));
        for (const std::wstring& p : ElevationList()) Print(L"elevation=" + p);
    } else {
        SetStage(UpdateCheckLocalOk);
    }
    if (opt[L"steps"] != L"check") {
        RunCopyStep(window, list);
        Print(mv::Format(L"copy=%d", list.stage));
    }
    if (window) DestroyWindow(window);
    Print(mv::Format(L"ops=%ld", ops));
    Print(L"ver=" + ReadSetting(L"APPLICATION", L"Ver"));
    return 0;
}

}  // namespace

// Returns -1 for a command that is not one of these.
int RunInstallCommand(const std::wstring& cmd, std::vector<std::wstring>& a) {
    if (cmd == L"startup" && a.size() == 1) {
        SetAppDir(Dir(a[0]));
        DeleteRecordedBackups();
        LoadInstalledVersion();
        Print(L"ver=" + ReadSetting(L"APPLICATION", L"Ver"));
        return 0;
    }
    if (cmd == L"install" && a.size() >= 2) return Install(a);
    if (cmd == L"holdlock" && a.size() == 2) {
        SetAppDir(Dir(a[0]));
        Print(mv::Format(L"held=%d", AcquireInstallLock(0) ? 1 : 0));
        Sleep(static_cast<DWORD>(mv::ParseLong(a[1])));
        return 0;
    }
    if (cmd == L"squatlock" && a.size() == 3) {
        SetAppDir(Dir(a[0]));
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (a[2] != L"-" && !ConvertStringSecurityDescriptorToSecurityDescriptorW(a[2].c_str(), SDDL_REVISION_1, &sd, nullptr))
            return 2;
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
        mv::Handle m(CreateMutexW(sd ? &sa : nullptr, TRUE, InstallLockName(GetAppDir()).c_str()));
        const bool made = m && GetLastError() != ERROR_ALREADY_EXISTS;
        if (sd) LocalFree(sd);
        Print(mv::Format(L"squatted=%d", made ? 1 : 0));
        Sleep(static_cast<DWORD>(mv::ParseLong(a[1])));
        return 0;
    }
    if (cmd == L"runtask" && a.size() == 2) {
        SetAppDir(Dir(a[0]));
        mv::ComInit com;
        RunTaskFile(a[1], nullptr);
        return 0;
    }
    if (cmd == L"runentry" && a.size() == 2) {
        SetAppDir(Dir(a[0]));
        Print(mv::Format(L"ran=%d", RunCommand(a[1], nullptr) ? 1 : 0));
        return 0;
    }
    if (cmd == L"closepath" && a.size() == 1) {
        CloseProgramByPath(a[0]);
        Print(L"closed=1");
        return 0;
    }
    if (cmd == L"writable" && a.size() == 1) {
        Print(mv::Format(L"writable=%d", TestFileWritable(a[0]) ? 1 : 0));
        for (const std::wstring& p : ElevationList()) Print(L"elevation=" + p);
        return 0;
    }
    if (cmd == L"starthost" && a.size() == 2) {
        SetAppDir(Dir(a[0]));
        StartHostProgram(a[1] == L"1");
        Print(L"started=1");
        return 0;
    }
    return -1;
}
