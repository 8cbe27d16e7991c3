// Starting a file or opening an address at the desktop user's normal level from a process
// that runs elevated: the desktop's shell (Explorer, running with the user's rights) is asked
// to do it through its automation object (IShellDispatch2::ShellExecute), so what it starts
// does not inherit administrator rights. COM initialised on the calling thread.
#pragma once
#include <windows.h>

#include <string>

// Asks the desktop's shell to run `verb` on `file` with `params` in `dir` (either may be
// empty). S_OK when the shell took the request; a failure code when no desktop shell answers
// (none running, or it refuses), and then nothing was started.
HRESULT ShellExecuteUnelevated(const std::wstring& file, const std::wstring& params = L"",
                               const std::wstring& dir = L"", const wchar_t* verb = L"open");
