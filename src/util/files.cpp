#include "util/files.h"

#include <windows.h>

#include <mutex>

#include "util/handle.h"
#include "util/text.h"

namespace mv {

bool FileExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirTree(const std::wstring& path) {
    if (path.empty()) return false;
    std::wstring p = path;
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    if (p.empty() || DirExists(p)) return true;
    if (p.size() == 2 && p[1] == L':') return true;
    size_t cut = p.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 0) CreateDirTree(p.substr(0, cut));
    return CreateDirectoryW(p.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ReadFileBytes(const std::wstring& path, std::string& out, long long maxBytes) {
    Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(f.get(), &size) || size.QuadPart > maxBytes || size.QuadPart > 0x7FFFFFFF) return false;
    out.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    size_t done = 0;
    while (done < out.size()) {
        if (!ReadFile(f.get(), out.data() + done, static_cast<DWORD>(out.size() - done), &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD put = 0;
    return bytes.empty() ||
           (WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size());
}

std::wstring PathDir(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::wstring PathBaseName(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring ModulePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n < buf.size()) { buf.resize(n); return buf; }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace mv

namespace {
std::mutex g_appDirMutex;
std::wstring g_appDir;
}  // namespace

std::wstring GetAppDir() {
    std::lock_guard<std::mutex> lock(g_appDirMutex);
    if (g_appDir.empty()) g_appDir = mv::PathDir(mv::ModulePath());
    return g_appDir;
}

void SetAppDir(const std::wstring& dir) {
    std::lock_guard<std::mutex> lock(g_appDirMutex);
    g_appDir = dir;
}

std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    const size_t colon = name.find(L':');
    if (colon != std::wstring::npos && colon != 0) return name;
    std::wstring s = mv::ReplaceAll(dir + L"\\" + name, L"/", L"\\");
    return mv::ReduceBackslashes(mv::ReduceBackslashes(s));
}

bool RemoveFile(const std::wstring& path) {
    std::wstring p = path;
    const size_t colon = p.find(L':');
    if (colon == std::wstring::npos || colon == 0) p = mv::ReduceBackslashes(GetAppDir() + L"\\" + p);
    SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(p.c_str()) != FALSE;
}
