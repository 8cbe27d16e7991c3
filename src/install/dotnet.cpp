#include "install/dotnet.h"

// Until the prerequisite check lands nothing is checked or offered.
void CheckDotNetAtStartup() {}
void OfferDotNetInstall(HWND, const std::wstring&) {}
