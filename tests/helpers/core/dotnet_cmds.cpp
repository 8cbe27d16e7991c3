// .NET prerequisite commands of the core driver.
//   runinstaller <url> <path>   starts a downloaded installer as the download dialog does
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "install/dotnet.h"
#include "util/text.h"

int RunDotNetCommand(const std::wstring& cmd, std::vector<std::wstring>& a) {
    if (cmd == L"runinstaller" && a.size() == 2) {
        wprintf(L"started=%d\n", RunDotNetInstaller(nullptr, a[0], a[1]) ? 1 : 0);
        return 0;
    }
    return -1;
}
