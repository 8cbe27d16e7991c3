// The updater's windows.
#pragma once
#include <windows.h>

// Kinds of the most-simple progress window.
enum MostSimpleKind { MostSimpleUpdate = 0, MostSimpleCheck = 1, MostSimpleAppEnter = 2 };

// Shows the most-simple progress window modally.
void ShowMostSimpleWindow(MostSimpleKind kind, HWND owner);
// Shows the tray-icon window modally.
void ShowTrayIconWindow(HWND owner);
