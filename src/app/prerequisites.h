// Connects the installer's prerequisite checks to their windows: the .NET download dialog
// and the error page shown when the host program is missing.
#pragma once
#include <windows.h>

// Registers both with the install module; called once at start-up.
void RegisterPrerequisiteWindows();
// Shows the error page; Retry runs the check and the offer once and shows the page again
// while the host program is still missing. True once the page was closed (the updater then
// ends with exit code -1); false for a call made by the retry itself, which shows no page.
bool HandleMissingHost(HWND owner);
