#include "config/path_macros.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "util/files.h"

namespace {

// Folders named after their CSIDL number, so a wrong table row shows in the result.
PathMacroFolders FakeFolders(bool hasSysWow64) {
    return {[](int csidl) { return L"F" + std::to_wstring(csidl); }, L"C:\\win", L"C:\\win\\system32",
            [hasSysWow64](const std::wstring& p) { return hasSysWow64 && p == L"C:\\win\\SysWOW64"; }, L"C:\\a\\"};
}

std::wstring ShellFolder(int csidl) {
    wchar_t buf[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf);
    return buf;
}

struct AppDirScope {
    std::wstring saved = GetAppDir();
    explicit AppDirScope(const std::wstring& dir) { SetAppDir(dir); }
    ~AppDirScope() { SetAppDir(saved); }
};

}  // namespace

TEST(PathMacros, RuleTable) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"{programfiles}\\x|{pf}\\y", L"F38\\x|F38\\y"},
        {L"{document}|{commondesktop}|{desktop}", L"F5|F25|F16"},
        {L"{startmenu}|{startupmenu}|{commonstartmenu}|{commonstartupmenu}", L"F11|F11|F22|F22"},
        {L"{commonstartup}|{startup}", L"F24|F7"},
        {L"{commonprograms}|{startupprograms}|{programs}", L"F23|F23|F2"},
        // every occurrence, and folder macros mix with one directory macro
        {L"{desktop}\\{desktop}\\{app}\\x", L"F16\\F16\\C:\\a\\x"},
        {L"{app}\\bin\\x.dll", L"C:\\a\\bin\\x.dll"},
        {L"{target}\\t|{path}\\p", L"C:\\a\\t|{path}\\p"},
        {L"{win}\\notepad.exe", L"C:\\win\\notepad.exe"},
        // only the first directory macro of the list is replaced
        {L"{sys}\\{app}", L"C:\\win\\system32\\{app}"},
        {L"{app}\\{win}", L"{app}\\C:\\win"},
        {L"{syswow64}\\x", L"C:\\win\\system32\\x"},
        // exact, case-sensitive names
        {L"{Desktop}\\{APP}\\x", L"{Desktop}\\{APP}\\x"},
        // no macro: unchanged, doubled backslashes included
        {L"C:\\\\dir\\\\x", L"C:\\\\dir\\\\x"},
        {L"", L""},
        // a replaced text has its doubled backslashes reduced, in one pass
        {L"{app}\\\\\\\\x", L"C:\\a\\\\\\x"},
    };
    for (const Case& c : cases) EXPECT_EQ(ExpandPathMacrosWith(c.in, FakeFolders(false)), c.out) << c.in;
    EXPECT_EQ(ExpandPathMacrosWith(L"{syswow64}\\x", FakeFolders(true)), L"C:\\win\\SysWOW64\\x");
}

TEST(PathMacros, WineFolders) {
    AppDirScope app(L"C:\\a\\");
    struct Case {
        const wchar_t* macro;
        int csidl;
    } cases[] = {{L"{programfiles}", CSIDL_PROGRAM_FILES}, {L"{document}", CSIDL_PERSONAL},
                 {L"{desktop}", CSIDL_DESKTOPDIRECTORY},   {L"{commondesktop}", CSIDL_COMMON_DESKTOPDIRECTORY},
                 {L"{startmenu}", CSIDL_STARTMENU},         {L"{commonstartup}", CSIDL_COMMON_STARTUP},
                 {L"{startup}", CSIDL_STARTUP},             {L"{programs}", CSIDL_PROGRAMS}};
    for (const Case& c : cases) {
        const std::wstring folder = ShellFolder(c.csidl);
        ASSERT_GT(folder.size(), 3u) << c.macro;
        EXPECT_EQ(ExpandPathMacros(std::wstring(c.macro) + L"\\x.lnk"), folder + L"\\x.lnk") << c.macro;
    }
    wchar_t win[MAX_PATH] = {}, sys[MAX_PATH] = {};
    GetWindowsDirectoryW(win, MAX_PATH);
    GetSystemDirectoryW(sys, MAX_PATH);
    EXPECT_EQ(ExpandPathMacros(L"{win}\\x"), std::wstring(win) + L"\\x");
    EXPECT_EQ(ExpandPathMacros(L"{sys}\\{app}"), std::wstring(sys) + L"\\{app}");
    EXPECT_EQ(ExpandPathMacros(L"{app}\\bin\\x.dll"), L"C:\\a\\bin\\x.dll");
    // The test prefix is 32-bit: no SysWOW64 directory, so the system directory.
    if (!mv::DirExists(std::wstring(win) + L"\\SysWOW64")) {
        EXPECT_EQ(ExpandPathMacros(L"{syswow64}\\x"), std::wstring(sys) + L"\\x");
    }
}

TEST(PathMacros, ResolvePath) {
    AppDirScope app(L"C:\\a\\");
    struct Case {
        const wchar_t* base;
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"C:\\a", L"sub/x.txt", L"C:\\a\\sub\\x.txt"},
        {L"C:\\a", L"D:\\y", L"D:\\y"},
        {L"C:\\a\\", L"\\sub\\x.txt", L"C:\\a\\sub\\x.txt"},
        {L"C:\\a", L"x\\\\\\\\y", L"C:\\a\\x\\y"},          // four backslashes collapse
        {L"C:\\base", L"{app}\\x", L"C:\\a\\x"},           // the expanded path has a drive
        {L"C:\\a", L":x", L"C:\\a\\:x"},                   // a colon at position 0 is no drive
        {L"C:\\a", L"D:/y/z", L"D:/y/z"},                  // absolute paths come back as they are
    };
    for (const Case& c : cases) EXPECT_EQ(ResolvePath(c.base, c.in), c.out) << c.base << L" + " << c.in;
}
