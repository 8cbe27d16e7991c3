#include "app/console_usage.h"

#include <windows.h>

#include "util/text.h"

namespace {

bool WriteBytes(HANDLE out, const std::string& bytes) {
    DWORD put = 0;
    return WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
}

}  // namespace

bool WriteToParentConsole(const std::wstring& text) {
    // A GUI program has standard handles only when its starter handed them over (a
    // redirection, a pipe); those take the text as UTF-8.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(out);
        if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) return WriteBytes(out, mv::ToUtf8(text));
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    bool ok = false;
    if (console != INVALID_HANDLE_VALUE) {
        // The shell has already shown its prompt: start on a line of our own.
        const std::wstring shown = L"\r\n" + text;
        DWORD put = 0;
        ok = WriteConsoleW(console, shown.data(), static_cast<DWORD>(shown.size()), &put, nullptr) != FALSE;
        if (!ok) ok = WriteBytes(console, mv::ToCodePage(shown, GetConsoleOutputCP()));
        CloseHandle(console);
    }
    FreeConsole();
    return ok;
}
