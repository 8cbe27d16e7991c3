// The drivers that run an update session from stage to stage.
#pragma once
#include <windows.h>

#include <string>

class CUpdateApp;

bool RunSilent(HWND hostWindow);
bool RunAppEnter(const std::wstring& mode);
bool OfferUpdate();
void ShowUpdateWindow(CUpdateApp* app, HWND hostWindow);
void UninstallCleanup();
