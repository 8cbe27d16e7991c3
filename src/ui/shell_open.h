// Opening a web address in the user's default browser from a process that may run elevated.
#pragma once
#include <windows.h>

#include <string>

// Asks the desktop's shell (Explorer, which runs with the user's normal rights) to open the
// address, so the browser does not inherit administrator rights. Where there is no such shell
// (none running, or it refuses), opens it directly with ShellExecuteEx: the browser then runs
// with this process's rights, which is the trade-off for still opening the page. Main thread,
// COM initialised. False with a log line when neither worked.
bool OpenUrlInDefaultBrowser(HWND owner, const std::wstring& url);
