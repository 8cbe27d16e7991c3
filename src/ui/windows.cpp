#include "ui/windows.h"

// Until the windows land nothing is shown.
void ShowMostSimpleWindow(MostSimpleKind, HWND) {}
void ShowTrayIconWindow(HWND) {}
