// The drivers that run an update session from stage to stage outside a window, the offer to
// upgrade and the uninstall clean-up. They run on the main thread during start-up.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "ui/updater_windows.h"

class CUpdateApp;

// What the windows start: the session, the check, the offer, the relaunch.
WindowActions WindowActionsFor(CUpdateApp* app);

// Mode "silence": the whole session with `hostWindow` (or none) watching. Always true.
bool RunSilent(HWND hostWindow);
// Modes "appenter" and "appenternoprompt": check, offer, update, start the host program.
// False when [APPLICATION] Application is not set.
bool RunAppEnter(const std::wstring& mode);
// Asks whether to update what the check found (unless the mode is "appenternoprompt") and
// runs the update or starts the host program. Always true.
bool OfferUpdate();
// The update in the progress window, which runs the steps on its worker thread. True when the
// new files were installed.
bool ShowUpdateWindow(CUpdateApp* app, HWND hostWindow);
// What the sessions of this process came to: handed to an elevated copy; refused because
// another session held the application directory.
bool SessionHandedOver();
bool SessionFoundBusy();
// Mode "uninstall": removes the installed files, their empty folders inside the application
// directory, the log, __oldfiles.lst and mirovane.xml.
void UninstallCleanup();

// Sets the stage UpdateEnd after a window's session, unless it is already set or this process
// handed the session to an elevated copy (which ends it itself).
void SetSessionEndStage();

// Ends the process after the person closed the error page of a missing host program: exit
// code -1, the host windows' buffers released.
[[noreturn]] void EndAfterErrorPage();

// The number the offer's question is about: the file count, or 2147483647 when a new version
// text differs from the installed one.
int OfferCount(int fileCount, const std::wstring& remoteVersion, const std::wstring& installedVersion);
// The directories the uninstall tries to remove after deleting `path`, innermost first: the
// path itself and its parents while they lie inside `appDir` (its text is contained), are
// longer than 3 characters and change.
std::vector<std::wstring> UninstallDirWalk(const std::wstring& path, const std::wstring& appDir);
