#include "install/dotnet.h"

void CheckDotNetAtStartup() {}
void OfferDotNetInstall(HWND, const std::wstring&) {}
