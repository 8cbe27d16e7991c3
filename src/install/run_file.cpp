#include "install/run_file.h"

// Until program starting lands nothing is started.
bool RunFile(const std::wstring&, const std::wstring&, const std::wstring&, HWND, bool) { return false; }
