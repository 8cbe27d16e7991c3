#include "install/confine.h"

#include <windows.h>
#include <shlobj.h>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/text.h"

std::wstring NormalizePath(const std::wstring& path) {
    if (path.empty()) return {};
    std::wstring in = mv::ReplaceAll(path, L"/", L"\\");
    DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
    std::wstring out;
    if (n) {
        out.assign(n, L'\0');
        DWORD got = GetFullPathNameW(in.c_str(), n, out.data(), nullptr);
        out.resize(got < n ? got : 0);
    }
    if (out.empty()) out = in;
    while (out.size() > 3 && out.back() == L'\\') out.pop_back();
    return out;
}

bool PathEqualsNoCase(const std::wstring& a, const std::wstring& b) { return mv::ToLower(a) == mv::ToLower(b); }

bool PathIsBelow(const std::wstring& path, const std::wstring& dir) {
    if (dir.empty()) return false;
    std::wstring d = mv::ToLower(dir);
    while (!d.empty() && d.back() == L'\\') d.pop_back();
    const std::wstring p = mv::ToLower(path);
    return p.size() > d.size() + 1 && p.compare(0, d.size(), d) == 0 && p[d.size()] == L'\\';
}

static bool IsDriveRoot(const std::wstring& p) {
    // "C:", "C:\" and UNC share roots "\\server\share".
    if (p.size() <= 3 && p.size() >= 2 && p[1] == L':') return true;
    if (p.rfind(L"\\\\", 0) == 0) {
        size_t s = p.find(L'\\', 2);
        return s == std::wstring::npos || p.find(L'\\', s + 1) == std::wstring::npos;
    }
    return false;
}

bool MayTouchPathWith(const std::wstring& path, const std::vector<std::wstring>& roots) {
    if (path.empty() || IsDriveRoot(path)) return false;
    bool inside = false;
    for (const std::wstring& root : roots) {
        if (root.empty()) continue;
        if (PathEqualsNoCase(path, root) || PathIsBelow(root, path)) return false;
        if (PathIsBelow(path, root)) inside = true;
    }
    return inside;
}

namespace {

// The system's folders do not move while the updater runs; looking them up (registry reads)
// for every path of a large update cost more than the rest of the install.
const std::vector<std::wstring>& SystemRoots() {
    static const std::vector<std::wstring> roots = [] {
        std::vector<std::wstring> out;
        for (int csidl : {CSIDL_PROGRAM_FILES, CSIDL_PERSONAL, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY,
                          CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU, CSIDL_COMMON_STARTUP, CSIDL_STARTUP,
                          CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
            wchar_t buf[MAX_PATH] = {};
            if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf)) && buf[0])
                out.push_back(NormalizePath(buf));
        }
        wchar_t buf[MAX_PATH] = {};
        if (GetWindowsDirectoryW(buf, MAX_PATH)) out.push_back(NormalizePath(buf));
        if (GetSystemDirectoryW(buf, MAX_PATH)) out.push_back(NormalizePath(buf));
        return out;
    }();
    return roots;
}

}  // namespace

std::vector<std::wstring> ConfinementRoots() {
    std::vector<std::wstring> roots{NormalizePath(GetAppDir())};
    const std::vector<std::wstring>& system = SystemRoots();
    roots.insert(roots.end(), system.begin(), system.end());
    return roots;
}

bool MayTouchPath(const std::wstring& path) {
    if (MayTouchPathWith(NormalizePath(path), ConfinementRoots())) return true;
    WriteLog(Translate(L"MAIN", L"Refused a path outside the application directory") + L"[" + path + L"]");
    return false;
}
