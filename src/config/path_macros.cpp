#include "config/path_macros.h"

#include <windows.h>
#include <shlobj.h>

#include "config/settings.h"
#include "util/files.h"
#include "util/text.h"

namespace {

struct FolderMacro {
    const wchar_t* macro;
    int csidl;
};

// Order matters: {commonstartup} must go before {startup}, {startupprograms} names the
// common Programs menu, and the two "startupmenu" macros are the Start menu itself.
constexpr FolderMacro kFolderMacros[] = {
    {L"{programfiles}", CSIDL_PROGRAM_FILES},
    {L"{pf}", CSIDL_PROGRAM_FILES},
    {L"{document}", CSIDL_PERSONAL},
    {L"{commondesktop}", CSIDL_COMMON_DESKTOPDIRECTORY},
    {L"{desktop}", CSIDL_DESKTOPDIRECTORY},
    {L"{startmenu}", CSIDL_STARTMENU},
    {L"{startupmenu}", CSIDL_STARTMENU},
    {L"{commonstartmenu}", CSIDL_COMMON_STARTMENU},
    {L"{commonstartupmenu}", CSIDL_COMMON_STARTMENU},
    {L"{commonstartup}", CSIDL_COMMON_STARTUP},
    {L"{startup}", CSIDL_STARTUP},
    {L"{commonprograms}", CSIDL_COMMON_PROGRAMS},
    {L"{startupprograms}", CSIDL_COMMON_PROGRAMS},
    {L"{programs}", CSIDL_PROGRAMS},
};

std::wstring ShellFolder(int csidl) {
    wchar_t buf[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return {};
    return buf;
}

}  // namespace

std::wstring ExpandPathMacrosWith(const std::wstring& text, const PathMacroFolders& folders) {
    std::wstring out = text;
    // A shell folder is looked up only for a macro the text holds: each look-up reads the registry.
    for (const FolderMacro& m : kFolderMacros)
        if (out.find(m.macro) != std::wstring::npos) out = mv::ReplaceAll(out, m.macro, folders.specialFolder(m.csidl));

    // Only the first directory macro found is replaced; the others stay as written.
    const std::wstring sysWow64 = mv::ReduceBackslashes(folders.windowsDir + L"\\SysWOW64");
    const bool wantsSysWow64 = out.find(L"{syswow64}") != std::wstring::npos;
    const std::pair<const wchar_t*, std::wstring> dirMacros[] = {
        {L"{win}", folders.windowsDir},
        {L"{syswow64}", wantsSysWow64 && folders.dirExists(sysWow64) ? sysWow64 : folders.systemDir},
        {L"{sys}", folders.systemDir},
        {L"{target}", folders.appDir},
        {L"{path}", folders.appDir},
        {L"{app}", folders.appDir},
    };
    for (const auto& [macro, value] : dirMacros) {
        if (out.find(macro) == std::wstring::npos) continue;
        out = mv::ReplaceAll(out, macro, value);
        break;
    }
    if (out != text) out = mv::ReduceBackslashes(out);
    return out;
}

std::wstring ExpandPathMacros(const std::wstring& text) {
    if (text.find(L'{') == std::wstring::npos) return text;  // most paths: nothing to look up
    wchar_t win[MAX_PATH] = {}, sys[MAX_PATH] = {};
    GetWindowsDirectoryW(win, MAX_PATH);
    GetSystemDirectoryW(sys, MAX_PATH);
    PathMacroFolders folders{ShellFolder, win, sys, [](const std::wstring& p) { return mv::DirExists(p); },
                             GetAppDir()};
    return ExpandPathMacrosWith(text, folders);
}

std::wstring ResolvePath(const std::wstring& baseDir, const std::wstring& text) {
    std::wstring path = ExpandPathMacros(text);
    size_t colon = path.find(L':');
    if (colon != std::wstring::npos && colon >= 1) return path;
    path = mv::ReplaceAll(baseDir + L"\\" + path, L"/", L"\\");
    return mv::ReduceBackslashes(mv::ReduceBackslashes(path));
}
