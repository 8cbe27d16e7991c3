// Starting other programs.
#pragma once
#include <windows.h>

#include <string>

// Starts the full path `file` with the shell's default verb and `params`, in `workDir` (empty:
// the file's own directory). The start is sent to `window` as a status text and logged. With
// `wait`, waits until the program has ended, at most ProgramWaitMs. Returns true when it was started; a missing file
// starts nothing and is not reported.
bool StartProgram(const std::wstring& file, const std::wstring& workDir, const std::wstring& params, HWND window,
                  bool wait);

// The status and log text of a start: "Run file[<name>]" and "[<params>]" when there are any.
std::wstring RunFileMessage(const std::wstring& path, const std::wstring& params);

// How long the updater waits for a program it started ([Mirovane] ProgramWaitTime seconds,
// default 1800, clamped to 1..86400): a program a list names must not hold the elevated
// updater for ever. `text` empty or not a number: the default.
constexpr long kDefaultProgramWaitSeconds = 1800;
constexpr long kMaxProgramWaitSeconds = 86400;
DWORD ProgramWaitMsFrom(const std::wstring& text);
DWORD ProgramWaitMs();

// Waits for `process` (a program the updater started, `name` for the log) at most
// ProgramWaitMs, logging the wait and, when the cap is hit, that the program still runs.
// True when it ended.
bool WaitForStartedProgram(HANDLE process, const std::wstring& name);
