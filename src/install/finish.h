// Step 4 of an update (copy, tasks, clean-up, the installed list and version) and the start
// of the host program. Runs on the session's thread.
#pragma once
#include <windows.h>

#include <string>

// The step-4 entry: runs at stage 9 and leaves 12, or 11 when nothing could be installed
// (the installed files, list, version and downloaded files are then as before).
void RunCopyStep(HWND window);
// The body of step 4; true when the new files are in place.
bool InstallAndFinish(HWND window);
// The list file to install: the cached list, or its name repaired (".xml.xml" -> ".xml",
// else ".xml" appended) when only that exists. Empty when neither exists.
std::wstring InstalledListSource(const std::wstring& cachedList);
std::wstring RepairListName(const std::wstring& name);
// Starts the host program ([APPLICATION] Application); `interactive` allows questions.
void StartHostProgram(bool interactive);
