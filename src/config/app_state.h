// Process-wide values set once during start-up and read everywhere after it.
#pragma once
#include <windows.h>

#include <string>

namespace AppState {

extern std::wstring exeBaseName;        // running executable's name without directory and extension
extern std::string embeddedSettings;    // resource MV_RES_SETTINGS, bytes as shipped (empty when missing)
extern long connectTryCount;            // [Mirovane] ConnectTryCount, default 3
extern bool relaunched;                 // started again elevated ("___runas_admin___")
extern HWND hostWindow;                 // window named on the command line, or null

}  // namespace AppState
