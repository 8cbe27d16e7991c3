// Connects the installer's prerequisite checks to their windows: the .NET download dialog
// and the error page shown when the host program is missing.
#pragma once
#include <windows.h>

// Registers both with the install module; called once at start-up.
void RegisterPrerequisiteWindows();
// Shows the error page; Retry runs the check and the offer once and shows the page again
// while the host program is still missing. Ends the process with exit code -1.
void HandleMissingHost(HWND owner);
