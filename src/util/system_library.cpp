#include "util/system_library.h"

#include <string>

namespace mv {

FARPROC SystemFunction(const wchar_t* dll, const char* name) {
    wchar_t dir[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    const std::wstring path = std::wstring(dir) + L"\\" + dll;
    HMODULE module = GetModuleHandleW(path.c_str());
    if (!module) module = LoadLibraryW(path.c_str());
    return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace mv
