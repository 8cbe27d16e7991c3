#include "package/zip_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "../temp_dir.h"
#include "util/files.h"
#include "zip.h"
#include "iowin32.h"

namespace {

TEST(SanitizeItemName, NeverLeavesTheOutputDirectory) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"a\\b\\c.txt", L"a\\b\\c.txt"},
        {L"dir/sub/x.dll", L"dir/sub/x.dll"},
        {L"C:\\Windows\\x.dll", L"Windows\\x.dll"},
        {L"\\\\server\\share\\x", L"server\\share\\x"},
        {L"/etc/passwd", L"etc/passwd"},
        {L"a\\..\\b.txt", L"b.txt"},
        {L"a/../../../b.txt", L"b.txt"},
        {L"a\\../b/..\\c.txt", L"c.txt"},
        {L"x/y\\..\\z/../w", L"w"},
        {L"../evil.txt", L"evil.txt"},
        {L"..\\..\\evil.txt", L"evil.txt"},
        {L"../C:/x.txt", L"x.txt"},
        {L"C:../x.txt", L"x.txt"},
        {L"..", L""},
        {L"a/..", L"a/"},
        {L"a..b/c..", L"a..b/c.."},
        {L"...\\x", L"...\\x"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(SanitizeItemName(c.in), c.out) << c.in;
}

TEST(ItemAttributes, DosHostsAndOthers) {
    const struct {
        unsigned madeBy;
        unsigned long external;
        DWORD attrs;
    } cases[] = {
        {0x0014, 0x21, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},      // FAT
        {0x0B14, 0x16, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY},  // NTFS
        {0x0E14, 0x80, 0},                                                    // VFAT: only the DOS bits
        {0x0714, 0x20, FILE_ATTRIBUTE_ARCHIVE},                               // Macintosh
        {0x031E, 0100644UL << 16, FILE_ATTRIBUTE_ARCHIVE},                    // Unix file
        {0x031E, 0100444UL << 16, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {0x031E, 0040755UL << 16, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY},
        {0x031E, 0x10, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},     // DOS bits ignored
    };
    for (const auto& c : cases) EXPECT_EQ(ItemAttributes(c.madeBy, c.external), c.attrs) << std::hex << c.madeBy;
}

TEST(ExtendedTimestamp, ReadsNothingPastTheExtraData) {
    // The extra data is placed at the very end of a readable page: a read past it faults.
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    auto* pages = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(pages);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old));
    auto atEnd = [&](const std::string& bytes) {
        unsigned char* p = pages + si.dwPageSize - bytes.size();
        memcpy(p, bytes.data(), bytes.size());
        return p;
    };
    const FILETIME dos{1, 2};
    const int32_t t = 1600000000;  // 2020-09-13 12:26:40 UTC
    const std::string time4(reinterpret_cast<const char*>(&t), 4);
    const struct {
        const char* what;
        std::string extra;
        bool write, access, creation;  // which times the field replaced
    } cases[] = {
        {"all three", std::string("UT\x0D\x00\x07", 5) + time4 + time4 + time4, true, true, true},
        {"write only", std::string("UT\x05\x00\x01", 5) + time4, true, false, false},
        {"other field first", std::string("xy\x02\x00" "ab", 6) + std::string("UT\x05\x00\x01", 5) + time4, true, false, false},
        {"header at the very end, no flags byte", std::string("UT\x05\x00", 4), false, false, false},
        {"flags, time cut short", std::string("UT\x05\x00\x01", 5) + time4.substr(0, 3), false, false, false},
        {"length past the end", std::string("UT\xFF\x00\x07", 5) + time4, true, false, false},
        {"half a header", std::string("UT\x05", 3), false, false, false},
        {"empty", std::string(), false, false, false},
    };
    for (const auto& c : cases) {
        ArchiveItem item;
        item.lastWriteTime = item.lastAccessTime = item.creationTime = dos;
        ApplyExtendedTimestamp(atEnd(c.extra), c.extra.size(), item);
        auto replaced = [&](const FILETIME& ft) { return ft.dwLowDateTime != dos.dwLowDateTime || ft.dwHighDateTime != dos.dwHighDateTime; };
        EXPECT_EQ(replaced(item.lastWriteTime), c.write) << c.what;
        EXPECT_EQ(replaced(item.lastAccessTime), c.access) << c.what;
        EXPECT_EQ(replaced(item.creationTime), c.creation) << c.what;
        if (c.write) {
            ULARGE_INTEGER v{{item.lastWriteTime.dwLowDateTime, item.lastWriteTime.dwHighDateTime}};
            EXPECT_EQ(v.QuadPart, (1600000000ULL + 11644473600ULL) * 10000000ULL) << c.what;
        }
    }
    VirtualFree(pages, 0, MEM_RELEASE);
}

class ZipArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.File(L"t.zip");
        zlib_filefunc64_def io;
        fill_win32_filefunc64W(&io);
        zipFile zf = zipOpen2_64(path_.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
        ASSERT_TRUE(zf);
        for (const char* name : {"one.txt", "Sub/Two.txt"}) {
            zip_fileinfo fi{};
            ASSERT_EQ(zipOpenNewFileInZip64(zf, name, &fi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0), ZIP_OK);
            std::string data(5000, name[0]);
            zipWriteInFileInZip(zf, data.data(), static_cast<unsigned>(data.size()));
            zipCloseFileInZip(zf);
        }
        zipClose(zf, nullptr);
    }
    TempDir dir_;
    std::wstring path_;
};

TEST_F(ZipArchiveTest, HandleCodes) {
    EXPECT_EQ(CloseArchive(nullptr), ZR_ARGS);
    EXPECT_EQ(LastArchiveResult(), ZR_ARGS);
    // Anything that is not a live handle of ours is told apart without being read: an address
    // in memory that cannot be read, any other object, a handle already closed.
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_TRUE(unreadable);
    EXPECT_EQ(CloseArchive(static_cast<ArchiveHandle>(unreadable)), ZR_NOTUNZIP);
    EXPECT_EQ(ArchiveItemCount(static_cast<ArchiveHandle>(unreadable)), -1);
    EXPECT_EQ(LastArchiveResult(), ZR_NOTUNZIP);
    VirtualFree(unreadable, 0, MEM_RELEASE);
    int other = 0;
    EXPECT_EQ(CloseArchive(reinterpret_cast<ArchiveHandle>(&other)), ZR_NOTUNZIP);
    ArchiveHandle closed = OpenArchive(path_, nullptr);
    ASSERT_TRUE(closed);
    EXPECT_EQ(CloseArchive(closed), ZR_OK);
    EXPECT_EQ(CloseArchive(closed), ZR_NOTUNZIP);

    ArchiveHandle h = OpenArchive(path_, nullptr);
    ASSERT_TRUE(h);
    EXPECT_EQ(LastArchiveResult(), ZR_OK);
    EXPECT_EQ(OpenArchive(h, path_, nullptr), ZR_ALREADY);
    EXPECT_EQ(ArchiveItemCount(h), 2);
    EXPECT_EQ(ExtractItem(h, 2, dir_.File(L"x")), ZR_ARGS);
    EXPECT_EQ(ExtractItem(h, -1, dir_.File(L"x")), ZR_ARGS);

    ArchiveItem item;
    EXPECT_EQ(FindArchiveItem(h, L"sub\\two.txt", true, &item), 1);
    EXPECT_EQ(item.size, 5000u);
    EXPECT_EQ(FindArchiveItem(h, L"sub\\two.txt", false, nullptr), -1);
    EXPECT_EQ(FindArchiveItem(h, L"Sub/Two.txt", false, nullptr), 1);

    // Memory parts of one item, then a switch to another item starts that one afresh.
    char buf[3000];
    unsigned got = 0;
    EXPECT_EQ(ExtractItem(h, 0, buf, sizeof(buf), &got), ZR_MORE);
    EXPECT_EQ(got, 3000u);
    EXPECT_EQ(ExtractItem(h, 1, buf, sizeof(buf), &got), ZR_MORE);
    EXPECT_EQ(buf[0], 'S');
    EXPECT_EQ(ExtractItem(h, 1, buf, sizeof(buf), &got), ZR_OK);
    EXPECT_EQ(got, 2000u);
    EXPECT_EQ(CloseArchive(h), ZR_OK);

    EXPECT_EQ(OpenArchive(dir_.File(L"missing.zip"), nullptr), nullptr);
    EXPECT_NE(LastArchiveResult(), ZR_OK);
}

TEST_F(ZipArchiveTest, NamesFlaggedUtf8AreReadAsUtf8) {
    const std::wstring path = dir_.File(L"names.zip");
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    zipFile zf = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
    ASSERT_TRUE(zf);
    const struct {
        const char* stored;
        unsigned long flags;
    } entries[] = {
        {"\xE2\x82\xAC-\xC3\xA9.txt", 0x800},  // flagged, valid UTF-8
        {"caf\xE9-\xC3.txt", 0x800},           // flagged, broken UTF-8: still UTF-8, never a code page
        {"plain-\xC3\xA9.txt", 0},             // unflagged but valid UTF-8, as many packers write
    };
    for (const auto& e : entries) {
        zip_fileinfo fi{};
        ASSERT_EQ(zipOpenNewFileInZip4_64(zf, e.stored, &fi, nullptr, 0, nullptr, 0, nullptr, 0, 0, 0, -MAX_WBITS,
                                          DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 20, e.flags, 0),
                  ZIP_OK);
        zipWriteInFileInZip(zf, "x", 1);
        zipCloseFileInZip(zf);
    }
    zipClose(zf, nullptr);
    ArchiveHandle h = OpenArchive(path, nullptr);
    ASSERT_TRUE(h);
    const wchar_t* names[] = {L"\u20AC-\u00E9.txt", L"caf\uFFFD-\uFFFD.txt", L"plain-\u00E9.txt"};
    for (int i = 0; i < 3; ++i) {
        ArchiveItem item;
        ASSERT_EQ(GetArchiveItem(h, i, &item), ZR_OK);
        EXPECT_EQ(item.name, names[i]) << i;
    }
    CloseArchive(h);
}

}  // namespace
