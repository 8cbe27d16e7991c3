// Step 1 of an update: fetch the remote list and fill the download list.
#pragma once
#include <windows.h>

#include <string>

// Entry used by the windows and the drivers; always returns 0.
int StartRemoteCheck(HWND window);
// The whole step with its reporting.
void RunRemoteCheck(HWND window);
// Sets listUrlBase of the download list from a list address.
void ListBaseFromUrl(const std::wstring& url);
