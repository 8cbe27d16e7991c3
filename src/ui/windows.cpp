#include "ui/windows.h"

void ShowMostSimpleWindow(MostSimpleKind, HWND) {}
void ShowTrayIconWindow(HWND) {}
