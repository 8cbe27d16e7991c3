#include "config/app_state.h"

namespace AppState {

std::wstring exeBaseName;
std::string embeddedSettings;
long connectTryCount = 3;
bool relaunched = false;
HWND hostWindow = nullptr;

}  // namespace AppState
