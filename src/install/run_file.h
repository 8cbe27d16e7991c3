// Starting other programs.
#pragma once
#include <windows.h>

#include <string>

// Starts the full path `file` with the shell's default verb and `params`, in `workDir` (empty:
// the file's own directory). The start is sent to `window` as a status text and logged. With
// `wait`, waits until the program has ended. Returns true when it was started; a missing file
// starts nothing and is not reported.
bool StartProgram(const std::wstring& file, const std::wstring& workDir, const std::wstring& params, HWND window,
                  bool wait);

// The status and log text of a start: "Run file[<name>]" and "[<params>]" when there are any.
std::wstring RunFileMessage(const std::wstring& path, const std::wstring& params);
