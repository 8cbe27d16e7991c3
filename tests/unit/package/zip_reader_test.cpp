#include "package/zip_reader.h"

#include <gtest/gtest.h>

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
    alignas(8) unsigned char notOurs[256] = {};
    EXPECT_EQ(CloseArchive(reinterpret_cast<ArchiveHandle>(notOurs)), ZR_NOTUNZIP);

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

}  // namespace
