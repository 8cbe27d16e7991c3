// The dialog that downloads the .NET Framework installer (showing the download as blocks)
// and starts it with administrator rights.
#pragma once
#include <windows.h>

#include <string>

// Modal. `url` is the installer's address, `version` the version text ("4.0").
void ShowDotNetDownloadDialog(HWND owner, const std::wstring& url, const std::wstring& version);
