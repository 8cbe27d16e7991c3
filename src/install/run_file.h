// Starting other programs, and executing XML task files.
#pragma once
#include <windows.h>

#include <string>

// Starts `path` (resolved against the application directory) with the shell; with `wait`,
// waits until it has ended. Returns true when it was started.
bool RunFile(const std::wstring& path, const std::wstring& workDir, const std::wstring& params, HWND window, bool wait);
