// The log file and the texts sent to the host program's windows.
#pragma once
#include <windows.h>

#include <string>

// Sends the text to every registered window (message 1975) and appends it, with a
// "[%Y-%m-%d %H:%M:%S]" time prefix and CR LF, to the file named by [Mirovane] Log.
void WriteLog(const std::wstring& text);
// Sends message 1034 with the text to one window.
void SendStatusText(HWND window, const std::wstring& text, LPARAM number);
