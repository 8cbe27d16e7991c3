#include "package/package.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "../temp_dir.h"
#include "util/files.h"
#include "zip.h"
#include "iowin32.h"

namespace {

std::string Le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string Trailer(uint32_t offset, uint32_t length, const char* marker) { return Le32(offset) + Le32(length) + marker; }

TEST(PackageTrailer, BoundsAndMarker) {
    const uint64_t size = 1000;  // the package must end where the trailer begins, at 980
    const struct {
        const char* what;
        std::string tail;
        uint64_t fileSize;
        TrailerCheck expected;
        uint64_t offset, length;
    } cases[] = {
        {"package right before the trailer", Trailer(900, 80, "MirovaneZip1"), size, TrailerCheck::Ok, 900, 80},
        {"the other marker reads alike", Trailer(900, 80, "MirovaneZip0"), size, TrailerCheck::Ok, 900, 80},
        {"package from the start", Trailer(0, 980, "MirovaneZip1"), size, TrailerCheck::Ok, 0, 980},
        {"longer tail: only the last 20 bytes", "junk" + Trailer(10, 20, "MirovaneZip1"), size, TrailerCheck::Ok, 10, 20},
        {"one byte into the trailer", Trailer(900, 81, "MirovaneZip1"), size, TrailerCheck::Bad, 0, 0},
        {"offset past the end", Trailer(5000, 1, "MirovaneZip1"), size, TrailerCheck::Bad, 0, 0},
        {"length that would wrap 32 bits", Trailer(0xFFFFFFF0u, 0x20, "MirovaneZip1"), size, TrailerCheck::Bad, 0, 0},
        {"largest values", Trailer(0xFFFFFFFFu, 0xFFFFFFFFu, "MirovaneZip1"), size, TrailerCheck::Bad, 0, 0},
        {"empty package", Trailer(100, 0, "MirovaneZip1"), size, TrailerCheck::Bad, 0, 0},
        {"file of the trailer alone", Trailer(0, 1, "MirovaneZip1"), 20, TrailerCheck::Bad, 0, 0},
        {"the marker as UTF-16 is no marker", Le32(0) + Le32(1) + std::string("M\0i\0r\0o\0v\0a\0", 12), size,
         TrailerCheck::None, 0, 0},
        {"another marker", Trailer(900, 80, "MirovaneZip2"), size, TrailerCheck::None, 0, 0},
        {"lower case marker", Trailer(900, 80, "mirovanezip1"), size, TrailerCheck::None, 0, 0},
        {"tail shorter than a trailer", std::string("MirovaneZip1"), size, TrailerCheck::None, 0, 0},
        {"file shorter than a trailer", Trailer(0, 1, "MirovaneZip1"), 19, TrailerCheck::None, 0, 0},
        {"nothing", std::string(), 0, TrailerCheck::None, 0, 0},
    };
    for (const auto& c : cases) {
        PackageSpan span;
        std::wstring why;
        EXPECT_EQ(ParsePackageTrailer(c.tail, c.fileSize, span, why), c.expected) << c.what;
        if (c.expected == TrailerCheck::Ok) {
            EXPECT_EQ(span.offset, c.offset) << c.what;
            EXPECT_EQ(span.length, c.length) << c.what;
        }
        EXPECT_EQ(why.empty(), c.expected != TrailerCheck::Bad) << c.what;
    }
}

TEST(PackageTrailer, MadeTrailerReadsBack) {
    const std::string t = MakePackageTrailer(0x01020304u, 0x0A0B0C0Du);
    ASSERT_EQ(t.size(), kPackageTrailerBytes);
    EXPECT_EQ(t.substr(8), "MirovaneZip1");
    PackageSpan span;
    std::wstring why;
    ASSERT_EQ(ParsePackageTrailer(t, 0x0A0B0C0Du + 0x01020304u + 20, span, why), TrailerCheck::Ok);
    EXPECT_EQ(span.offset, 0x01020304u);
    EXPECT_EQ(span.length, 0x0A0B0C0Du);
}

std::string ZipOf(const TempDir& dir, const std::vector<std::pair<const char*, std::string>>& entries) {
    const std::wstring path = dir.File(L"made.zip");
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    zipFile zf = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
    EXPECT_TRUE(zf);
    for (const auto& [name, data] : entries) {
        zip_fileinfo fi{};
        EXPECT_EQ(zipOpenNewFileInZip64(zf, name, &fi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0), ZIP_OK);
        EXPECT_EQ(zipWriteInFileInZip(zf, data.data(), static_cast<unsigned>(data.size())), ZIP_OK);
        EXPECT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    EXPECT_EQ(zipClose(zf, nullptr), ZIP_OK);
    std::string bytes;
    EXPECT_TRUE(mv::ReadFileBytes(path, bytes));
    DeleteFileW(path.c_str());
    return bytes;
}

const std::string kList = "<update><file path=\"a\\b.txt\" ver=\"1\"/></update>";
const std::string kFile = std::string(3000, 'x') + "the file's bytes";

// Damage done to a whole executable with a package appended: the program's bytes, the zip
// at `offset`, the trailer.
struct Damage {
    const char* what;
    void (*apply)(std::string& exe, size_t offset, size_t zipSize);
    bool usable;
};

TEST(AppendedPackage, DamageIsFoundBeforeAnythingIsUsed) {
    const Damage cases[] = {
        {"intact", [](std::string&, size_t, size_t) {}, true},
        {"one byte of a member's data changed",
         [](std::string& exe, size_t offset, size_t) {
             // The file member's data follows the list member; its run of 'x' compresses to a
             // few bytes right after the local header with the name "a/b.txt".
             const size_t at = exe.find("a/b.txt", offset);
             exe[at + 7 + 4] ^= 0x20;
         },
         false},
        {"truncated: the trailer names more than is left",
         [](std::string& exe, size_t offset, size_t) { exe.erase(offset + 10, 100); }, false},
        {"not a zip at the offset", [](std::string& exe, size_t offset, size_t zipSize) {
             for (size_t i = offset; i < offset + zipSize; ++i) exe[i] = 'z';
         },
         false},
    };
    for (const Damage& c : cases) {
        TempDir dir;
        const std::string program = "MZ" + std::string(500, '\0');
        const std::string zip = ZipOf(dir, {{"__list4mirovane.xml", kList}, {"__list4mirovane.xml.sig", "sig\r\n"},
                                            {"a/b.txt", kFile}});
        std::string exe = program + zip + MakePackageTrailer(static_cast<uint32_t>(program.size()),
                                                             static_cast<uint32_t>(zip.size()));
        c.apply(exe, program.size(), zip.size());
        const std::wstring exePath = dir.File(L"bundled.exe");
        ASSERT_TRUE(mv::WriteFileBytes(exePath, exe));
        const std::wstring work = dir.File(L"work");
        AppendedPackage package;
        std::wstring why;
        const PackageFound found = OpenAppendedPackage(exePath, work, 1 << 20, package, why);
        EXPECT_EQ(found, c.usable ? PackageFound::Usable : PackageFound::Damaged) << c.what;
        if (!c.usable) {
            EXPECT_FALSE(why.empty()) << c.what;
            EXPECT_TRUE(package.path.empty()) << c.what;
            EXPECT_FALSE(mv::FileExists(work + L"\\__package4mirovane.tmp")) << c.what << ": a damaged copy is left behind";
            continue;
        }
        EXPECT_EQ(package.list, kList);
        EXPECT_EQ(package.listSignature, "sig\r\n");
        EXPECT_TRUE(package.mainList.empty());
        // The member comes out whole under the record's path, in either separator.
        const std::wstring target = dir.File(L"b.txt_");
        ASSERT_TRUE(ExtractPackageFile(package.path, L"a\\b.txt", target, kFile.size(), why)) << why;
        std::string got;
        ASSERT_TRUE(mv::ReadFileBytes(target, got));
        EXPECT_EQ(got, kFile);
        // A member larger than the list says, or one the package lacks, leaves no file.
        EXPECT_FALSE(ExtractPackageFile(package.path, L"a/b.txt", target, kFile.size() - 1, why));
        EXPECT_FALSE(mv::FileExists(target));
        EXPECT_FALSE(ExtractPackageFile(package.path, L"a/missing.txt", target, 0, why));
        EXPECT_FALSE(mv::FileExists(target));
    }
}

TEST(AppendedPackage, AnExecutableWithoutPackageIsLeftAlone) {
    TempDir dir;
    const std::wstring exePath = dir.File(L"plain.exe");
    ASSERT_TRUE(mv::WriteFileBytes(exePath, "MZ" + std::string(100, '\1') + "MirovaneZip"));
    AppendedPackage package;
    std::wstring why;
    EXPECT_EQ(OpenAppendedPackage(exePath, dir.File(L"work"), 1 << 20, package, why), PackageFound::None);
    EXPECT_TRUE(why.empty());
    EXPECT_FALSE(mv::DirExists(dir.File(L"work")));
}

TEST(AppendedPackage, APackageWithoutListIsDamaged) {
    TempDir dir;
    const std::string zip = ZipOf(dir, {{"a/b.txt", kFile}});
    const std::string program = "MZ" + std::string(64, '\0');
    ASSERT_TRUE(mv::WriteFileBytes(dir.File(L"x.exe"), program + zip +
                                                           MakePackageTrailer(static_cast<uint32_t>(program.size()),
                                                                              static_cast<uint32_t>(zip.size()))));
    AppendedPackage package;
    std::wstring why;
    EXPECT_EQ(OpenAppendedPackage(dir.File(L"x.exe"), dir.File(L"work"), 1 << 20, package, why), PackageFound::Damaged);
    EXPECT_NE(why.find(L"no update list"), std::wstring::npos);
}

}  // namespace
