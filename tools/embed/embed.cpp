// mirovane-embed <mirovane.exe> <settings.ini> <output.exe>
// Writes a vendor's settings file into a copy of mirovane.exe as its built-in settings
// (RT_RCDATA 179). The input executable is never changed: the copy is made first and
// only the copy is updated; on any failure the partial output is removed.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "resources/resource_ids.h"

namespace {

constexpr WORD kSettingsResource = MV_RES_SETTINGS;

int Fail(const wchar_t* what, const std::wstring& path, DWORD err) {
    wchar_t* msg = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, err, 0, reinterpret_cast<wchar_t*>(&msg), 0, nullptr);
    std::wstring text = msg ? msg : L"";
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    fwprintf(stderr, L"mirovane-embed: %ls: %ls (error %lu%ls%ls)\n", what, path.c_str(), err,
             text.empty() ? L"" : L": ", text.c_str());
    if (msg) LocalFree(msg);
    return 1;
}

bool ReadWhole(const std::wstring& path, std::string& out, DWORD& err) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) { err = GetLastError(); return false; }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(f, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = out.empty() || (ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) && got == out.size());
    }
    err = ok ? 0 : (GetLastError() ? GetLastError() : ERROR_READ_FAULT);
    CloseHandle(f);
    return ok;
}

// A Win32 executable starts with "MZ" and has a "PE\0\0" header where e_lfanew points.
bool LooksLikeExecutable(const std::string& bytes) {
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    DWORD lfanew = *reinterpret_cast<const DWORD*>(bytes.data() + 0x3C);
    return lfanew + 4 <= bytes.size() && bytes.compare(lfanew, 4, std::string("PE\0\0", 4)) == 0;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(lang);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fwprintf(stderr, L"usage: mirovane-embed <mirovane.exe> <settings.ini> <output.exe>\n");
        return 2;
    }
    const std::wstring exe = argv[1], ini = argv[2], out = argv[3];
    std::string settings, image;
    DWORD err = 0;
    if (!ReadWhole(ini, settings, err)) return Fail(L"cannot read the settings file", ini, err);
    if (!ReadWhole(exe, image, err)) return Fail(L"cannot read the executable", exe, err);
    if (!LooksLikeExecutable(image)) return Fail(L"not a Windows executable", exe, ERROR_BAD_EXE_FORMAT);

    wchar_t fullExe[MAX_PATH] = {}, fullOut[MAX_PATH] = {};
    GetFullPathNameW(exe.c_str(), MAX_PATH, fullExe, nullptr);
    GetFullPathNameW(out.c_str(), MAX_PATH, fullOut, nullptr);
    if (lstrcmpiW(fullExe, fullOut) == 0) return Fail(L"the output must not be the input", out, ERROR_INVALID_PARAMETER);

    // The settings may exist under any language; every copy is replaced so that exactly one remains.
    std::vector<WORD> langs;
    if (HMODULE mod = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        EnumResourceLanguagesW(mod, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&langs));
        FreeLibrary(mod);
    }
    const WORD newLang = langs.empty() ? MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) : langs.front();

    if (!CopyFileW(exe.c_str(), out.c_str(), FALSE)) return Fail(L"cannot write the output", out, GetLastError());
    HANDLE upd = BeginUpdateResourceW(out.c_str(), FALSE);
    if (!upd) {
        err = GetLastError();
        DeleteFileW(out.c_str());
        return Fail(L"cannot open the output's resources", out, err);
    }
    bool ok = true;
    for (WORD lang : langs)
        if (lang != newLang) ok = ok && UpdateResourceW(upd, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), lang, nullptr, 0);
    if (!ok || !UpdateResourceW(upd, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), newLang, settings.data(),
                                static_cast<DWORD>(settings.size()))) {
        err = GetLastError();
        EndUpdateResourceW(upd, TRUE);
        DeleteFileW(out.c_str());
        return Fail(L"cannot replace the settings resource", out, err);
    }
    if (!EndUpdateResourceW(upd, FALSE)) {
        err = GetLastError();
        DeleteFileW(out.c_str());
        return Fail(L"cannot write the output's resources", out, err);
    }
    wprintf(L"mirovane-embed: wrote %ls with %lu bytes of settings from %ls\n", out.c_str(),
            static_cast<unsigned long>(settings.size()), ini.c_str());
    return 0;
}
