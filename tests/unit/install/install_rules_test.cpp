// Pure rules of the install code: journal form, backup list, confinement, run entries.
#include <gtest/gtest.h>

#include <algorithm>

#include <windows.h>
#include <psapi.h>

#include "config/settings.h"
#include "install/backups.h"
#include "install/confine.h"
#include "install/finish.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "install/tasks.h"
#include "install/transaction.h"

TEST(Journal, RoundTripsAndRefusesAnythingCutShort) {
    Journal j;
    j.committed = false;
    j.version = L"2.0";
    j.workDir = L"C:\\t\\A-B";
    j.listStaged = L"C:\\a\\mirovane.xml.__new";
    j.listTarget = L"C:\\a\\mirovane.xml";
    j.entries = {{L"C:\\a\\x.exe", L"C:\\a\\x.exe.__old0", L"C:\\a\\x.exe.__new", true},
                 {L"C:\\a\\\u4e2d.txt", L"", L"C:\\a\\\u4e2d.txt.__new", false},
                 {L"C:\\a\\gone.txt", L"C:\\a\\gone.txt.__old", L"", true}};
    j.dirs = {L"C:\\a\\new", L"C:\\a\\new\\deep\t%"};
    const std::string bytes = SerializeJournal(j);
    Journal back;
    ASSERT_TRUE(ParseJournal(bytes, back));
    EXPECT_EQ(back.dirs, j.dirs);  // the roll-back removes them, deepest first
    EXPECT_EQ(back.committed, false);
    EXPECT_EQ(back.version, j.version);
    EXPECT_EQ(back.workDir, j.workDir);
    EXPECT_EQ(back.listStaged, j.listStaged);
    ASSERT_EQ(back.entries.size(), 3u);
    EXPECT_EQ(back.entries[1].target, j.entries[1].target);
    EXPECT_EQ(back.entries[2].staged, L"");
    EXPECT_TRUE(back.entries[0].existed);
    EXPECT_FALSE(back.entries[1].existed);

    // Every prefix is a journal cut short by a crash: never acted on.
    for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(ParseJournal(bytes.substr(0, n), back)) << n;
    j.committed = true;
    ASSERT_TRUE(ParseJournal(SerializeJournal(j), back));
    EXPECT_TRUE(back.committed);
}

TEST(Journal, NoTextCanAddAFieldOrALine) {
    // A version page is unsigned: whatever it says comes back as it was, and nothing more.
    Journal j;
    j.version = L"2.0\tx\nfile\tC:\\Windows\\evil.dll\t\t\t0\nend\n%41%";
    j.workDir = L"C:\\t\\100%";
    j.listStaged = L"C:\\a\\mirovane.xml.__new";
    j.listTarget = L"C:\\a\\mirovane.xml";
    j.entries = {{L"C:\\a\\x\x01.exe", L"", L"C:\\a\\x.exe.__new", false}};
    j.tasks = {{L"command", L"C:\\a\\t.exe9a\tb\nc99", true}, {L"run", L"C:\\a\\x.exe", false}};
    const std::string bytes = SerializeJournal(j);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 9) << bytes;
    Journal back;
    ASSERT_TRUE(ParseJournal(bytes, back));
    EXPECT_EQ(back.version, j.version);
    EXPECT_EQ(back.workDir, j.workDir);
    ASSERT_EQ(back.entries.size(), 1u);
    EXPECT_EQ(back.entries[0].target, j.entries[0].target);
    ASSERT_EQ(back.tasks.size(), 2u);
    EXPECT_EQ(back.tasks[0].text, j.tasks[0].text);
    EXPECT_TRUE(back.tasks[0].done);
    EXPECT_FALSE(back.tasks[1].done);

    // A journal written before escaping is read as it was; a broken escape is no journal.
    const std::string v1 = "mirovane install journal 1\nstate\tpending\nversion\t1%\nworkdir\tC:\\t\nlist\t\t\n"
                           "file\tC:\\a\\y.txt\t\tC:\\a\\y.txt.__new\t0\nend\n";
    ASSERT_TRUE(ParseJournal(v1, back));
    EXPECT_EQ(back.version, L"1%");
    std::string broken = v1;
    broken.replace(0, 26, "mirovane install journal 2");
    EXPECT_FALSE(ParseJournal(broken, back));
}

TEST(LockedFileProbe, NamesThatStandForAFile) {
    struct { const wchar_t* name; const wchar_t* target; } cases[] = {
        {L"app.exe.__test", L"app.exe"}, {L"app.exe.__TEST3", L"app.exe"}, {L"a.dll.__test9", L"a.dll"},
        {L"app.exe.__test10", L""},      {L"app.exe.__testx", L""},        {L".__test", L""},
        {L"app.exe", L""},               {L"app.exe.__old", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ProbeTarget(c.name), c.target) << c.name;
}

TEST(OldFilesList, LinesAndBackupNames) {
    EXPECT_EQ(ParseOldFilesList("\r\nC:\\a\\x.exe.__old\r\n  b.dll.__old0 \n\n"),
              (std::vector<std::wstring>{L"C:\\a\\x.exe.__old", L"b.dll.__old0"}));
    EXPECT_EQ(ParseOldFilesList(""), std::vector<std::wstring>{});
    EXPECT_EQ(ParseOldFilesList(std::string(2000, 'a')).front().size(), 1023u);

    struct { const wchar_t* name; bool backup; } cases[] = {
        {L"C:\\a\\x.exe.__old", true}, {L"C:\\a\\x.exe.__OLD9", true}, {L"x.__old0", true},
        {L"C:\\a\\x.exe", false},      {L"C:\\a\\x.__oldx", false},    {L"C:\\a\\x.__old10", false},
        {L".__old", false},            {L"C:\\a\\x.__old.txt", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsBackupName(c.name), c.backup) << c.name;
    auto names = BackupNameCandidates(L"C:\\a\\x.exe");
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names[0], L"C:\\a\\x.exe.__old");
    EXPECT_EQ(names[1], L"C:\\a\\x.exe.__old0");
    EXPECT_EQ(names[10], L"C:\\a\\x.exe.__old9");
}

TEST(Confinement, InsideTheApplicationDirectoryOrAMacroFolderOnly) {
    const std::vector<std::wstring> roots{L"C:\\Brenwick\\omra\\App", L"C:\\users\\me\\Desktop", L"C:\\windows",
                                          L"C:\\windows\\system32"};
    struct { const wchar_t* path; bool ok; } cases[] = {
        {L"C:\\Brenwick\\omra\\App\\x.dll", true},
        {L"c:\\brenwick\\OMRA\\app\\sub\\x.dll", true},
        {L"C:\\users\\me\\Desktop\\App.lnk", true},
        {L"C:\\windows\\system32\\x.dll", true},
        {L"C:\\Brenwick\\omra\\App", false},          // the application directory itself
        {L"C:\\Brenwick\\omra", false},               // a parent of it
        {L"C:\\Brenwick\\omra\\App2\\x.dll", false},  // a sibling sharing the prefix
        {L"C:\\users\\me", false},                    // the profile
        {L"C:\\windows\\system32", false},
        {L"C:\\", false},
        {L"C:", false},
        {L"D:\\x.txt", false},
        {L"\\\\server\\share", false},
        {L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(MayTouchPathWith(c.path, roots), c.ok) << c.path;
    EXPECT_EQ(NormalizePath(L"C:\\a\\b\\..\\..\\windows\\"), L"C:\\windows");
    EXPECT_EQ(NormalizePath(L"C:/a/./b"), L"C:\\a\\b");
}

TEST(Confinement, DownloadDirectoryMayBeDeletedOnlyBelowTheTemporaryDirectory) {
    struct { const wchar_t* dir; const wchar_t* temp; const wchar_t* app; bool ok; } cases[] = {
        {L"C:\\t\\AB12-345678", L"C:\\t", L"C:\\a", true},
        {L"C:\\a\\AB12-345678", L"C:\\a", L"C:\\a", true},   // TempAppPath: below, not the directory itself
        {L"C:\\a", L"C:\\a", L"C:\\a", false},
        {L"C:\\t", L"C:\\t", L"C:\\a", false},
        {L"C:\\t\\x", L"C:\\t", L"C:\\t\\x\\app", false},    // a parent of the application directory
        {L"C:\\other\\x", L"C:\\t", L"C:\\a", false},
        {L"", L"C:\\t", L"C:\\a", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsDeletableWorkDir(c.dir, c.temp, c.app), c.ok) << c.dir;
}

TEST(RunList, SplitBeforeExpandingAndWaitWords) {
    RunEntry e = SplitRunEntry(L"{app}\\setup.exe9-s -q919k");
    EXPECT_EQ(e.params, L"-s -q");
    EXPECT_EQ(e.wait, L"1");
    EXPECT_EQ(SplitRunEntry(L"a.exe").params, L"");
    // A "9" inside an expanded macro does not move the fields.
    const std::wstring appDir = GetAppDir();
    SetAppDir(L"C:\\v9\\");
    e = SplitRunEntry(L"{app}\\setup.exe9{app}\\x.ini9no9k");
    SetAppDir(appDir);
    EXPECT_EQ(e.path, L"C:\\v9\\setup.exe");
    EXPECT_EQ(e.params, L"C:\\v9\\x.ini");
    EXPECT_EQ(e.wait, L"no");

    struct { const wchar_t* wait; bool waits; } cases[] = {
        {L"", false}, {L"no", false}, {L"No", false}, {L"false", false}, {L"0", false}, {L"off", false},
        {L"1", true}, {L"yes", true}, {L"true", true}, {L"on", true},  {L" Y ", true}, {L"2", false},
    };
    for (const auto& c : cases) EXPECT_EQ(RunEntryWaits(c.wait), c.waits) << c.wait;
    EXPECT_EQ(RunEntryMessage({L"C:\\a\\b.exe", L"", L""}, false), L"Run[C:\\a\\b.exe][nowait]");
    EXPECT_EQ(RunEntryMessage({L"b.exe", L"-x", L"1"}, true), L"Run[b.exe][-x][wait]");
}

TEST(Names, ShortcutsListsHostsAndLocks) {
    EXPECT_EQ(ShortcutFileName(L"C:\\d\\App"), L"C:\\d\\App.lnk");
    EXPECT_EQ(ShortcutFileName(L"C:\\d\\App.LNK"), L"C:\\d\\App.LNK");
    EXPECT_EQ(ShortcutFileName(L"C:\\d\\my.lnk.txt"), L"C:\\d\\my.lnk.txt.lnk");  // ends-with, not contains
    EXPECT_FALSE(LooksLikeShellLink("[InternetShortcut]"));

    EXPECT_EQ(RepairListName(L"C:\\t\\A.xml.xml"), L"C:\\t\\A.xml");
    EXPECT_EQ(RepairListName(L"C:\\t\\A"), L"C:\\t\\A.xml");
    EXPECT_EQ(IcaclsParameters(L"C:\\a b\\x.exe"), L"\"C:\\a b\\x.exe\" /grant *S-1-5-32-545:(RX,D)");

    struct { const wchar_t* image; const wchar_t* path; bool dir; bool match; } cases[] = {
        {L"C:\\a\\host.exe", L"C:\\a\\host.exe", false, true},
        {L"C:\\A\\HOST.EXE", L"c:\\a\\host.exe", false, true},
        {L"C:\\a\\ghost.exe", L"C:\\a\\host.exe", false, false},
        {L"C:\\a\\host.exe.bak", L"C:\\a\\host.exe", false, false},
        {L"C:\\a\\sub\\x.exe", L"C:\\a", true, true},
        {L"C:\\ab\\x.exe", L"C:\\a", true, false},
        {L"", L"C:\\a\\host.exe", false, false},
    };
    for (const auto& c : cases) EXPECT_EQ(ImageMatches(c.image, c.path, c.dir), c.match) << c.image;

    EXPECT_EQ(InstallLockName(L"C:\\Brenwick\\omra\\App\\"), InstallLockName(L"c:\\brenwick\\OMRA\\app"));
    EXPECT_NE(InstallLockName(L"C:\\Brenwick\\omra\\App"), InstallLockName(L"C:\\Brenwick\\omra\\App2"));
    EXPECT_EQ(InstallLockName(L"C:\\x").rfind(L"Global\\", 0), 0u);
    EXPECT_EQ(InstallLockName(L"C:\\x").find(L'\\', 7), std::wstring::npos);
}

TEST(ProcessIds, OnlyIdZeroIsLeftOutWhereverItStands) {
    // Wine lists no idle process: its first entry is the first program of the session.
    using Ids = std::vector<DWORD>;
    struct { Ids listed, visited; } cases[] = {
        {{0, 4, 1200, 36}, {4, 1200, 36}},
        {{1200, 36, 44}, {1200, 36, 44}},
        {{36, 0, 44}, {36, 44}},
        {{36, 44, 0}, {36, 44}},
        {{32}, {32}},
        {{0}, {}},
        {{}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ProcessIdsToVisit(c.listed), c.visited) << c.listed.size();

    const Ids live = ProcessIds();
    EXPECT_NE(std::find(live.begin(), live.end(), GetCurrentProcessId()), live.end());
    EXPECT_EQ(std::find(live.begin(), live.end(), DWORD{0}), live.end());
}

TEST(ProcessIds, TheFirstListedProgramIsKept) {
    // Under Wine the list starts with a real program; it must be among the ids visited. It is
    // read before and after, and only an id that heads both lists counts, so that a program
    // ending meanwhile proves nothing either way.
    auto first = [] {
        DWORD ids[4096], bytes = 0;
        return EnumProcesses(ids, sizeof ids, &bytes) && bytes ? ids[0] : DWORD{0};
    };
    const DWORD before = first();
    const std::vector<DWORD> live = ProcessIds();
    if (before == 0 || first() != before) GTEST_SKIP() << "the list starts with the idle process or changed";
    EXPECT_NE(std::find(live.begin(), live.end(), before), live.end()) << before;
}
