// Window classes of our own for the dialogs, so that they can be told apart from every
// other dialog (a screen reader, a test and the user's tools find them by class).
#pragma once
#include <windows.h>

namespace mv {

// Registers a dialog class (DefDlgProc, DLGWINDOWEXTRA, the program icon) once per process.
// A template names it with CLASS.
bool RegisterDialogClass(const wchar_t* name);

}  // namespace mv
