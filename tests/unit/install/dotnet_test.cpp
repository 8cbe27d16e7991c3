// The .NET prerequisite: detection from a Windows directory, the required version, the
// installer address and path, and which installers may run elevated.
#include <gtest/gtest.h>

#include <map>

#include "install/dotnet.h"
#include "../temp_dir.h"

namespace {

std::wstring Flags(const DotNetFlags& f) {
    static const wchar_t* names[] = {L"1.0", L"1.1", L"2.0", L"3.0", L"3.5", L"4.0", L"4.5"};
    std::wstring out;
    for (int i = 0; i < kDotNetVersionCount; ++i)
        if (f[static_cast<size_t>(i)]) out += (out.empty() ? L"" : L" ") + std::wstring(names[i]);
    return out;
}

}  // namespace

TEST(DotNetDetect, FoldersAndReleaseValueOfMadeUpWindowsDirectories) {
    struct Case {
        std::vector<std::wstring> dirs;
        std::vector<std::wstring> files;
        std::optional<DWORD> release;
        std::wstring expected;
    } cases[] = {
        {{}, {}, std::nullopt, L""},  // no Microsoft.NET folder at all
        {{L"v1.0.3705", L"v1.1.4322", L"v2.0.50727", L"v3.0", L"v3.5"}, {}, std::nullopt, L"1.0 1.1 2.0 3.0 3.5"},
        {{L"v4.0.30319"}, {}, std::nullopt, L"4.0"},
        // 4.5 and later live in the v4.0 folder: only the Release value tells.
        {{L"v4.0.30319"}, {}, 378389u, L"4.0 4.5"},
        {{L"v4.0.30319"}, {}, 533325u, L"4.0 4.5"},
        {{L"v4.0.30319"}, {}, 378388u, L"4.0"},
        // A file with a version's name is not a framework; names compare with case and at position 0.
        {{L"V2.0.50727", L"xv3.5", L"Temp"}, {L"v4.0.30319"}, std::nullopt, L""},
        {{L"v4.5-preview"}, {}, std::nullopt, L"4.5"},
    };
    for (const Case& c : cases) {
        TempDir win;
        const std::wstring fw = win.File(L"Microsoft.NET\\Framework\\");
        if (!c.dirs.empty() || !c.files.empty()) mv::CreateDirTree(fw);
        for (const auto& d : c.dirs) mv::CreateDirTree(fw + d);
        for (const auto& f : c.files) mv::WriteFileBytes(fw + f, "x");
        EXPECT_EQ(Flags(DetectDotNetIn(win.path(), c.release)), c.expected) << c.expected;
    }
}

TEST(DotNetRequired, SwitchKeysWinThenTheFirstNonEmptyVersionKey) {
    struct Case {
        std::map<std::wstring, std::wstring> keys;
        std::wstring expected;
    } cases[] = {
        {{}, L""},
        {{{L"DotNetFix", L"4"}}, L"4"},
        {{{L"dotnetfx", L"3.5"}, {L"DotNetFx", L"2.0"}}, L"2.0"},
        {{{L"DotNetFix", L""}, {L"dotnetfix", L"1.1"}}, L"1.1"},
        {{{L"dotnetfx35", L"yes"}, {L"DotNetFix", L"4.0"}}, L"3.5"},  // the switch wins, its value is not read
        {{{L"dotnetfx40", L"0"}, {L"dotnetfx20", L"x"}}, L"2.0"},     // the first switch in order
        {{{L"DotNetFix", L"5.0"}}, L"5.0"},
    };
    for (const Case& c : cases) {
        auto read = [&](const wchar_t* key) {
            auto it = c.keys.find(key);
            return it == c.keys.end() ? std::wstring() : it->second;
        };
        EXPECT_EQ(RequiredDotNetVersionFrom(read), c.expected) << c.expected;
    }
}

TEST(DotNetRequired, VersionTextsCodesAndWhatCountsAsMissing) {
    struct Case {
        const wchar_t* version;
        int index;
        const wchar_t* code;
    } cases[] = {{L"1.0", 0, L"10"}, {L"1.1", 1, L"11"}, {L"2", 2, L"20"},  {L"2.0", 2, L"20"}, {L"3", 3, L"30"},
                 {L"3.0", 3, L"30"}, {L"3.5", 4, L"35"}, {L"4", 5, L"40"},  {L"4.0", 5, L"40"}, {L"4.5", 6, L"45"},
                 {L"5.0", -1, L"50"}, {L"4.0.30319", -1, L"40"}, {L"", -1, L"00"}, {L"v4.0", -1, L"v4"}};
    for (const Case& c : cases) {
        EXPECT_EQ(DotNetVersionIndex(c.version), c.index) << c.version;
        EXPECT_EQ(DotNetVersionCode(c.version), c.code) << c.version;
    }
    EXPECT_EQ(DotNetVersionFromCode(L"40"), L"4.0");
    EXPECT_EQ(DotNetVersionFromCode(L"35"), L"3.5");
    // An unknown version requires nothing, whatever is installed.
    EXPECT_FALSE(IsDotNetMissing(L"5.0"));
    EXPECT_FALSE(IsDotNetMissing(L""));
}

TEST(DotNetInstaller, AddressPathAndTrust) {
    const std::wstring server = L"https://dl.example.test/";
    EXPECT_EQ(DotNetInstallerAddress(L"35", L"", server), L"https://dl.example.test/dotnetfx/dotnetfx35.exe");
    EXPECT_EQ(DotNetInstallerAddress(L"35", L"http://mirror/x.exe", server), L"http://mirror/x.exe");
    EXPECT_EQ(DotNetInstallerAddress(L"50", L"", server), L"");  // no default for an unknown code
    EXPECT_EQ(DotNetInstallerAddress(L"40", L"", L""), L"");    // no server configured: the message

    struct PathCase {
        const wchar_t* url;
        const wchar_t* expected;
    } paths[] = {
        {L"http://h/dotnetfx/dotnetfx40.exe", L"C:\\t\\dotnetfx40.exe"},
        {L"http://h\\a\\b\\setup.exe", L"C:\\t\\setup.exe"},
        {L"http://h/get/setup.exe?lang=en#top", L"C:\\t\\setup.exe"},
        {L"http://h/dir/", L""},
        {L"http://h/..", L""},
        {L"setup.exe", L"C:\\t\\setup.exe"},
    };
    for (const PathCase& c : paths) EXPECT_EQ(DotNetInstallerPath(L"C:\\t\\", c.url), c.expected) << c.url;

    EXPECT_TRUE(IsHttpsAddress(L"HTTPS://h/x.exe"));
    EXPECT_FALSE(IsHttpsAddress(L"http://h/x.exe"));
    EXPECT_FALSE(IsHttpsAddress(L"file://https://h/x.exe"));
    // An unsigned file from a plain http address is refused; over https it is accepted.
    TempDir dir;
    const std::wstring exe = dir.File(L"setup.exe");
    ASSERT_TRUE(mv::WriteFileBytes(exe, "MZ not really a program"));
    EXPECT_FALSE(InstallerTrusted(L"http://127.0.0.1/setup.exe", exe));
    EXPECT_TRUE(InstallerTrusted(L"https://127.0.0.1/setup.exe", exe));
}
