// The write test of one file must not change what it tests.
#include <gtest/gtest.h>
#include <windows.h>

#include "../temp_dir.h"
#include "install/locked_files.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {
std::vector<std::wstring> Listing(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    mv::FindHandle f(FindFirstFileW((dir + L"*").c_str(), &fd));
    if (f) do {
            if (std::wstring(fd.cFileName) != L"." && std::wstring(fd.cFileName) != L"..") names.push_back(fd.cFileName);
        } while (FindNextFileW(f.get(), &fd));
    return names;
}
}  // namespace

TEST(WriteTest, LeavesFilesAsTheyWere) {
    TempDir dir;
    ClearElevationList();
    // Missing: writable, nothing left behind.
    EXPECT_TRUE(TestFileWritable(dir.File(L"missing.dat")));
    EXPECT_TRUE(Listing(dir.path()).empty());
    // A read-only data file: writable, attribute put back.
    mv::WriteFileBytes(dir.File(L"ro.dat"), "x");
    SetFileAttributesW(dir.File(L"ro.dat").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(TestFileWritable(dir.File(L"ro.dat")));
    EXPECT_TRUE(GetFileAttributesW(dir.File(L"ro.dat").c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(dir.File(L"ro.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
    // A directory where a file should go: locked.
    mv::CreateDirTree(dir.File(L"adir.exe"));
    EXPECT_FALSE(TestFileWritable(dir.File(L"adir.exe")));
    // A held data file is locked; a held .EXE is tested by renaming, and an existing
    // ".__test" name of someone else's survives the test.
    mv::WriteFileBytes(dir.File(L"held.dat"), "data");
    mv::WriteFileBytes(dir.File(L"prog.EXE"), "program");
    mv::WriteFileBytes(dir.File(L"prog.EXE.__test"), "not ours");
    {
        mv::Handle held(CreateFileW(dir.File(L"held.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_FALSE(TestFileWritable(dir.File(L"held.dat")));
        // Share delete lets a rename through, as a running program's image does.
        mv::Handle running(CreateFileW(dir.File(L"prog.EXE").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(running);
        EXPECT_TRUE(TestFileWritable(dir.File(L"prog.EXE")));
    }
    std::string bytes;
    ASSERT_TRUE(mv::ReadFileBytes(dir.File(L"prog.EXE.__test"), bytes));
    EXPECT_EQ(bytes, "not ours");
    ASSERT_TRUE(mv::ReadFileBytes(dir.File(L"prog.EXE"), bytes));
    EXPECT_EQ(bytes, "program");
    EXPECT_EQ(Listing(dir.path()).size(), 5u);
    EXPECT_TRUE(ElevationList().empty());
}

TEST(WriteTest, MissingFilesProbeTheirDirectoryOnce) {
    TempDir dir;
    ClearElevationList();
    DirectoryProbes probes;
    EXPECT_TRUE(TestFileWritable(dir.File(L"a.dat"), &probes));
    EXPECT_TRUE(TestFileWritable(dir.File(L"b.dat"), &probes));
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes.begin()->second, 0u);
    EXPECT_TRUE(Listing(dir.path()).empty());
    // A directory that refused a new file (Wine runs as root, so the refusal is given): a
    // missing file in it needs administrator rights without a probe of its own.
    mv::CreateDirTree(dir.File(L"locked"));
    probes[mv::ToLower(mv::PathDir(dir.File(L"locked\\x.dat")))] = ERROR_ACCESS_DENIED;
    EXPECT_TRUE(TestFileWritable(dir.File(L"locked\\x.dat"), &probes));
    EXPECT_EQ(ElevationList(), std::vector<std::wstring>{dir.File(L"locked\\x.dat")});
    EXPECT_TRUE(Listing(dir.File(L"locked\\")).empty());
    ClearElevationList();
}
