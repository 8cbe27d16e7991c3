#include "util/file_replace.h"

#include <gtest/gtest.h>

#include <set>

#include "../temp_dir.h"
#include "util/files.h"
#include "util/handle.h"

namespace {

std::set<std::wstring> FilesIn(const std::wstring& dir) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found{};
    mv::FindHandle find(FindFirstFileW((dir + L"*").c_str(), &found));
    if (!find) return names;
    do {
        const std::wstring n = found.cFileName;
        if (n != L"." && n != L"..") names.insert(n);
    } while (FindNextFileW(find.get(), &found));
    return names;
}

std::string Read(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(mv::ReadFileBytes(path, bytes)) << path;
    return bytes;
}

TEST(PrivateTempName, BesideTheTargetAndUnique) {
    const std::wstring a = mv::PrivateTempNameBeside(L"C:\\d\\x.lst", L"new");
    const std::wstring b = mv::PrivateTempNameBeside(L"C:\\d\\x.lst", L"new");
    EXPECT_NE(a, b);
    EXPECT_EQ(mv::PathDir(a), L"C:\\d\\");
    EXPECT_TRUE(mv::IsPrivateTempNameOf(a, L"C:\\d\\x.lst")) << a;
    EXPECT_TRUE(mv::IsPrivateTempNameOf(b, L"C:\\d\\x.lst")) << b;
}

TEST(PrivateTempName, WhoseNameItIs) {
    const std::wstring target = L"C:\\d\\mirovane.ver";
    const struct {
        const wchar_t* name;
        bool ours;
    } cases[] = {
        {L"C:\\d\\mirovane.ver.new-12-3.tmp", true},
        {L"C:\\d\\MIROVANE.VER.copy-1-1.TMP", true},   // the file system ignores case
        {L"C:\\d\\mirovane.ver.tmp", false},           // no writer's mark
        {L"C:\\d\\mirovane.ver.new-12.tmp", false},
        {L"C:\\d\\mirovane.ver.new-1x-3.tmp", false},
        {L"C:\\d\\mirovane.ver.-12-3.tmp", false},     // no kind
        {L"C:\\d\\mirovane.ver.a.b-12-3.tmp", false},
        {L"C:\\d\\mirovane.ver.new-12-3.tmp.x", false},
        {L"C:\\d\\amirovane.ver.new-12-3.tmp", false},  // another file's
        {L"C:\\e\\mirovane.ver.new-12-3.tmp", false},   // another directory's
        {L"C:\\d\\mirovane.ver", false},
        {L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(mv::IsPrivateTempNameOf(c.name, target), c.ours) << c.name;
}

TEST(WriteFileReplacing, CreatesAndReplacesLeavingNoTemporary) {
    TempDir dir;
    const std::wstring path = dir.File(L"t.dat");
    const std::string big(3 * 1024 * 1024 + 7, 'b');  // more than one piece
    for (const std::string& bytes : {std::string("first"), big, std::string(), std::string("last")}) {
        ASSERT_TRUE(mv::WriteFileReplacing(path, bytes));
        EXPECT_EQ(Read(path), bytes);
        EXPECT_EQ(FilesIn(dir.path()), std::set<std::wstring>{L"t.dat"});
    }
}

TEST(WriteFileReplacing, TheOldFileStaysUntilTheNewOneIsWhole) {
    TempDir dir;
    const std::wstring path = dir.File(L"t.dat");
    ASSERT_TRUE(mv::WriteFileBytes(path, "old"));
    std::string seenTarget, seenTemp;
    ASSERT_TRUE(mv::WriteFileReplacing(path, "new bytes", nullptr, [&] {
        seenTarget = Read(path);
        for (const std::wstring& n : FilesIn(dir.path()))
            if (n != L"t.dat") seenTemp = Read(dir.File(n));
    }));
    EXPECT_EQ(seenTarget, "old");
    EXPECT_EQ(seenTemp, "new bytes");
    EXPECT_EQ(Read(path), "new bytes");
}

TEST(WriteFileReplacing, FailuresLeaveTheTargetAndNoTemporary) {
    TempDir dir;
    std::wstring failure;
    // No such directory: nothing can be created.
    EXPECT_FALSE(mv::WriteFileReplacing(dir.File(L"none\\t.dat"), "x", &failure));
    EXPECT_NE(failure.find(L"CreateFile["), std::wstring::npos) << failure;

    // A directory in the target's place cannot be replaced by a file.
    ASSERT_TRUE(mv::CreateDirTree(dir.File(L"isdir")));
    failure.clear();
    EXPECT_FALSE(mv::WriteFileReplacing(dir.File(L"isdir"), "x", &failure));
    EXPECT_NE(failure.find(L"MoveFileEx["), std::wstring::npos) << failure;
    EXPECT_TRUE(mv::DirExists(dir.File(L"isdir")));

    // A target another handle holds without sharing delete refuses the rename.
    const std::wstring held = dir.File(L"held.dat");
    ASSERT_TRUE(mv::WriteFileBytes(held, "kept"));
    {
        mv::Handle h(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(h);
        EXPECT_FALSE(mv::WriteFileReplacing(held, "lost", &failure));
    }
    EXPECT_EQ(Read(held), "kept");
    EXPECT_EQ(FilesIn(dir.path()), (std::set<std::wstring>{L"held.dat", L"isdir"}));
}

TEST(CopyFileReplacing, CopiesOverAndKeepsTheTargetOnFailure) {
    TempDir dir;
    const std::wstring from = dir.File(L"from.bin"), to = dir.File(L"to.bin");
    ASSERT_TRUE(mv::WriteFileBytes(from, std::string("\0copy\xff", 6)));
    ASSERT_TRUE(mv::WriteFileBytes(to, "old"));
    ASSERT_TRUE(mv::CopyFileReplacing(from, to));
    EXPECT_EQ(Read(to), std::string("\0copy\xff", 6));
    EXPECT_EQ(Read(from), std::string("\0copy\xff", 6));

    std::wstring failure;
    EXPECT_FALSE(mv::CopyFileReplacing(dir.File(L"missing.bin"), to, &failure));
    EXPECT_NE(failure.find(L"missing.bin"), std::wstring::npos) << failure;
    EXPECT_EQ(Read(to), std::string("\0copy\xff", 6));
    EXPECT_EQ(FilesIn(dir.path()), (std::set<std::wstring>{L"from.bin", L"to.bin"}));
}

TEST(CopyToNewFile, NeverOverwrites) {
    TempDir dir;
    const std::wstring from = dir.File(L"from.bin"), to = dir.File(L"to.bin");
    ASSERT_TRUE(mv::WriteFileBytes(from, "new"));
    ASSERT_TRUE(mv::WriteFileBytes(to, "existing"));
    EXPECT_FALSE(mv::CopyToNewFile(from, to));
    EXPECT_EQ(Read(to), "existing");
    ASSERT_TRUE(mv::CopyToNewFile(from, dir.File(L"fresh.bin")));
    EXPECT_EQ(Read(dir.File(L"fresh.bin")), "new");
}

TEST(RemoveLeftTempNames, OnlyThatFilesTemporaries) {
    TempDir dir;
    const std::wstring target = dir.File(L"j.journal");
    const wchar_t* const left[] = {L"j.journal.new-7-1.tmp", L"j.journal.copy-8-20.tmp"};
    const wchar_t* const kept[] = {L"j.journal", L"j.journal.tmp", L"j.journal.x.tmp", L"k.journal.new-7-1.tmp",
                                   L"j.journal.new-7-1.tmp.bak"};
    for (const wchar_t* n : left) ASSERT_TRUE(mv::WriteFileBytes(dir.File(n), "t"));
    for (const wchar_t* n : kept) ASSERT_TRUE(mv::WriteFileBytes(dir.File(n), "k"));
    EXPECT_EQ(mv::RemoveLeftTempNames(target), 2);
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::wstring>(std::begin(kept), std::end(kept)));
    EXPECT_EQ(mv::RemoveLeftTempNames(dir.File(L"nothing.here")), 0);
}

}  // namespace
