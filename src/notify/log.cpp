#include "notify/log.h"

#include <ctime>

#include "config/settings.h"
#include "notify/named_lock.h"
#include "util/handle.h"
#include "util/text.h"

// Until host notification lands this only writes the log file.
void WriteLog(const std::wstring& text) {
    const std::wstring name = ReadSetting(L"Mirovane", L"Log");
    if (name.empty()) return;
    NamedLock lock(0xC0001);
    std::wstring path = mv::ReduceBackslashes(GetAppDir() + L"\\" + name);
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    wchar_t stamp[32] = {};
    time_t now = time(nullptr);
    wcsftime(stamp, 32, L"[%Y-%m-%d %H:%M:%S]", localtime(&now));
    std::string line = mv::ToCodePage(stamp + text + L"\r\n", CP_ACP);
    SetFilePointer(f.get(), 0, nullptr, FILE_END);
    DWORD put = 0;
    WriteFile(f.get(), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

void SendStatusText(HWND, const std::wstring&, LPARAM) {}
