// The log file and the texts sent to the host program's windows. Callable from any thread.
#pragma once
#include <windows.h>

#include <string>

// Sends the text, without the application directory, to every registered window (message
// 1975) and appends it whole, with a "[%Y-%m-%d %H:%M:%S]" time prefix and CR LF, in the ANSI
// code page, to the file named by [Mirovane] Log (nothing when that is empty). With
// [Mirovane] LogTiming=1 the time has milliseconds, for measuring a session.
void WriteLog(const std::wstring& text);
// Sends message 1034 with the text (without "{zip}{process}") and `number` to one window:
// through its transfer buffer when it has one, else as a pointer into this process.
void SendStatusText(HWND window, const std::wstring& text, LPARAM number);

// Name of the cross-process lock (a mutex) held while a line is appended to the log file.
extern const wchar_t kLogFileLockName[];

// The log line for `text` at the given local time: "[2024-05-01 08:30:00]text\r\n", or
// with `milliseconds` "[2024-05-01 08:30:00.250]text\r\n".
std::wstring LogLine(const SYSTEMTIME& time, const std::wstring& text, bool milliseconds = false);

// True when [Mirovane] LogTiming asks for times to the millisecond and a line per stage.
bool LogTimingOn();
