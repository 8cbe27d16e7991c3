// The command-line rules of start-up, as pure functions over text.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Arguments after the program name of a full command line (as WinMain's lpCmdLine).
std::wstring ArgumentsOf(const std::wstring& fullCommandLine);
// Lower-cases, removes double quotes and every occurrence of `ownPath` (lower-cased,
// doubled backslashes reduced), trims.
std::wstring CleanCommandLine(const std::wstring& args, const std::wstring& ownPath);
// Splits the cleaned command line at "-", "/", blanks and ",".
std::vector<std::wstring> CommandWords(const std::wstring& cleaned);
// Applies the mode words to the starting mode (the last word wins); returns lower-cased, trimmed.
std::wstring PickRunMode(const std::wstring& startMode, const std::vector<std::wstring>& words);
// The last word whose decimal value is a live window handle, or null.
HWND FindHostWindow(const std::vector<std::wstring>& words, const std::function<bool(HWND)>& isWindow);
// The .NET version asked for by "dotnetNN" found past position 0, or empty.
std::wstring FindDotNetSwitch(const std::wstring& cleaned);
bool HasRelaunchMarker(const std::wstring& cleaned);

// True when the arguments (as ArgumentsOf gives them) ask for the usage text: one of them is
// "/?", "-?", "--help", "-help" or "/help" (any case). Looked at before anything else runs.
bool IsUsageRequest(const std::wstring& args);
// The modes and switches, for a person at a console. Lines end in "\r\n".
std::wstring UsageText();

// Value of `key` in `section` of the embedded settings text (see the .cpp for the exact rule).
std::wstring ReadEmbeddedSetting(const std::wstring& text, const std::wstring& section, const std::wstring& key);

// Process exit code: the number of files to update, else 0x7FFFFFFF when only the
// version text changed, else 0.
int ComputeExitCode(int fileCount, const std::wstring& remoteVersion, const std::wstring& installedVersion);

// What a run came to, for its last log line and, with [Mirovane] DetailedExitCode=1, its exit
// code (the table in the README).
enum RunOutcomeCode : int {
    OutcomeNothingToUpdate = 0,
    OutcomeFound = 1,          // updates found and not installed (a check-only mode, declined)
    OutcomeInstalled = 2,      // every file installed
    OutcomeHandedOver = 3,     // an elevated copy continues the update
    OutcomePartly = 4,         // installed, but records of the list were refused
    OutcomeCheckFailed = 10,   // the list could not be fetched, read or trusted
    OutcomeDownloadFailed = 11,
    OutcomeLocalCheckFailed = 12,  // the program still runs, files locked, stopped before the copy
    OutcomeInstallFailed = 13,     // the installed files are unchanged
    OutcomeBusy = 14,              // another update of this application was running
};
struct RunFacts {
    int reached = 0;  // the last stage before the end sequence
    int files = 0;    // files of the list to update
    int refused = 0;  // records the check refused
    int failedDownloads = 0;
    std::wstring remoteVersion, installedVersion;
    bool handedOver = false;
    bool busy = false;
    bool lockRefused = false;  // busy because the install lock was somebody else's
};
struct RunOutcome {
    int code = OutcomeNothingToUpdate;
    std::wstring text;  // English; the caller translates
};
RunOutcome DescribeRun(const RunFacts& facts);
