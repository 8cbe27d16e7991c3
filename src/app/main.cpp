#include <windows.h>

#include "app/update_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    CUpdateApp app;
    return RunUpdateApp(app);
}
