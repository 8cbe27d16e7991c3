#include <windows.h>

#include "app/command_line.h"
#include "app/console_usage.h"
#include "app/update_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // Before start-up: asking for the usage must not create the application directory,
    // write the settings, run hooks, show a box or touch the network.
    if (IsUsageRequest(ArgumentsOf(GetCommandLineW()))) {
        WriteToParentConsole(UsageText());
        return 0;
    }
    CUpdateApp app;
    return RunUpdateApp(app);
}
