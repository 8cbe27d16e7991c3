// The .NET Framework prerequisite of the host program.
#pragma once
#include <windows.h>

#include <string>

// The start-up check of [Mirovane] DotNetFx and friends.
void CheckDotNetAtStartup();
// Offers the installer of the given version ("2.0", "4.0", ...).
void OfferDotNetInstall(HWND owner, const std::wstring& version);
