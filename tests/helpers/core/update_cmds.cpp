// The whole update session through the core driver, without windows, hooks or relaunch:
// remote check, download with its retry passes, local check and copy, each step's stage printed.
// scripts/bench.sh times it on the 500-file case, with and without signed lists.
//
//   update <appdir>          settings from <appdir>\mirovane.ini
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "check/remote_check.h"
#include "download/scheduler.h"
#include "install/finish.h"
#include "install/locked_files.h"
#include "install/session.h"
#include "ui/updater_windows.h"
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
    // The product's own session order and steps; only the hand-over and the end sequence stay
    // out (no relaunch, no host program).
    SessionSteps steps = UpdateSessionSteps(nullptr, TheDownLoadList());
    auto say = [](const wchar_t* name, std::function<StepResult(SessionObserver&)> step) {
        return [name, step](SessionObserver& o) {
            const StepResult r = step(o);
            if (std::wstring(name) == L"check")
                Say(mv::Format(L"check=%d files=%d", r.stage, TheDownLoadList().FileCount()));
            else
                Say(mv::Format(L"%s=%d", name, r.stage));
            return r;
        };
    };
    steps.check = say(L"check", steps.check);
    steps.download = say(L"download", steps.download);
    steps.checkLocal = say(L"local", steps.checkLocal);
    steps.copy = say(L"copy", steps.copy);
    steps.relaunch = [] { return false; };
    steps.end = [] {};
    BoxObserver observer(nullptr, false);
    RunSession(SessionStartOf(TheDownLoadList()), steps, observer);
    return 0;
}
