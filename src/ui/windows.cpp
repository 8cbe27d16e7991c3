#include "ui/windows.h"

// Until the tray window lands nothing is shown.
void ShowTrayIconWindow(HWND, const SessionSteps&) {}
