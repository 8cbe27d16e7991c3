// Window classes of our own, registered in one way. The dialogs have classes of their own
// so that they can be told apart from every other dialog (a screen reader, a test and the user's tools find them by class).
#pragma once
#include <windows.h>

namespace mv {

// Registers the class once per process: true when it is there afterwards (a failure is
// logged). `wc.cbSize` is filled in.
bool RegisterWindowClass(WNDCLASSEXW wc);
// Registers a dialog class (DefDlgProc, DLGWINDOWEXTRA, the program icon) once per process.
// A template names it with CLASS.
bool RegisterDialogClass(const wchar_t* name);

}  // namespace mv
