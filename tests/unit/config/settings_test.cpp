#include "config/list_source.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include "util/private_dir.h"
#include <windows.h>

#include "config/global_values.h"
#include "../temp_dir.h"
#include "util/files.h"

namespace {

// A private application directory with a mirovane.ini, and a clean settings cache.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetAppDir(dir_);
        GlobalValues::Clear();
        ResetListSource();
    }
    void TearDown() override {
        GlobalValues::Clear();
        ResetListSource();
    }
    void WriteIni(const std::wstring& relPath, const std::string& text) {
        mv::CreateDirTree(mv::PathDir(dir_ + relPath));
        ASSERT_TRUE(mv::WriteFileBytes(dir_ + relPath, text));
    }
    TempDir temp_;
    const std::wstring dir_ = temp_.path();
};

}  // namespace

TEST(ListCacheName, KnownValueAndShape) {
    EXPECT_EQ(ListCacheName(L"abc"), L"93F3-7B369C");
    EXPECT_EQ(ListCacheName(L""), L"1812-349999");  // the start numbers mod 16, unchanged
    for (const wchar_t* url : {L"http://127.0.0.1/update/list.xml9999999999", L"x", L"\u4e2d\u6587"}) {
        std::wstring name = ListCacheName(url);
        ASSERT_EQ(name.size(), 11u) << url;
        EXPECT_EQ(name[4], L'-');
        EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEF-"), std::wstring::npos) << name;
        EXPECT_EQ(name, ListCacheName(url));
    }
}

TEST(SettingBool, Rule) {
    struct Case {
        const wchar_t* value;
        bool expected;
    } cases[] = {
        {L"true", true}, {L"yes", true}, {L"1", true},  {L"T", true},   {L"  y  ", true}, {L"10", true},
        {L"false", false}, {L"no", false}, {L"0", false}, {L"", false}, {L"on", false},   {L"x1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseSettingBool(c.value), c.expected) << c.value;
}

TEST_F(SettingsTest, ReadsThroughCacheAndWritesStayInMemory) {
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nShowWhenCheck=false\r\nLog=a.log\r\n[APPLICATION]\r\nName=Demo\r\n");
    EXPECT_FALSE(ReadSettingBool(L"Mirovane", L"ShowWhenCheck", L"1"));
    EXPECT_TRUE(ReadSettingBool(L"Mirovane", L"Missing", L"1"));
    EXPECT_FALSE(ReadSettingBool(L"Mirovane", L"Missing2", L"0"));
    EXPECT_EQ(ReadSettingOr(L"Mirovane", L"ConnectTryCount", L"3"), L"3");
    EXPECT_EQ(GlobalValues::Get(L"MirovaneConnectTryCount"), L"");  // defaults are not cached
    EXPECT_TRUE(GlobalValues::Has(L"MirovaneConnectTryCount"));
    EXPECT_EQ(ReadSetting(L"APPLICATION", L"Name"), L"Demo");
    EXPECT_EQ(GlobalValues::Get(L"APPLICATIONName"), L"Demo");

    // Read once: a later change on disk is not seen.
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nLog=b.log\r\n");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"Log"), L"b.log");  // first read of this key
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nLog=c.log\r\n");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"Log"), L"b.log");

    WriteSetting(L"Mirovane", L"Log", L"written.log");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"Log"), L"written.log");
    std::string onDisk;
    ASSERT_TRUE(mv::ReadFileBytes(dir_ + L"mirovane.ini", onDisk));
    EXPECT_EQ(onDisk, "[Mirovane]\r\nLog=c.log\r\n");

    // ReadSettingFrom always reads the named file, then caches.
    WriteIni(L"other.ini", "[Mirovane]\r\nLog=other.log\r\n");
    EXPECT_EQ(ReadSettingFrom(dir_ + L"other.ini", L"Mirovane", L"Log"), L"other.log");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"Log"), L"other.log");
}

TEST_F(SettingsTest, TempDirThreeCases) {
    wchar_t sys[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, sys);

    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempAppPath=yes\r\nTempPath=C:\\elsewhere\r\n");
    EXPECT_EQ(GetTempDir(), dir_);

    GlobalValues::Clear();
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempPath=cache\r\n");
    EXPECT_EQ(GetTempDir(), dir_ + L"cache");

    GlobalValues::Clear();
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempPath=D:\\\\tmp\\\\x\r\n");
    EXPECT_EQ(GetTempDir(), L"D:\\tmp\\x");

    // Neither: an elevated copy (as every copy under Wine) uses its private directory.
    GlobalValues::Clear();
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempAppPath=0\r\n");
    const std::wstring privateDir = PrivateDirDecision().first;
    EXPECT_EQ(GetTempDir(), mv::RunsElevated() ? privateDir : std::wstring(sys));
    if (mv::RunsElevated()) {
        EXPECT_EQ(privateDir.substr(privateDir.size() - 10), L"\\Mirovane\\") << privateDir;
        EXPECT_TRUE(PrivateDirDecision().second.empty()) << PrivateDirDecision().second;
    }
}

TEST(PrivateDir, RefusesALinkAnotherOwnerAndAFile) {
    using mv::FoundDir;
    const struct {
        DWORD attributes;
        bool ownerTrusted;
        const wchar_t* problem;
    } cases[] = {
        {INVALID_FILE_ATTRIBUTES, false, L""},  // nothing there yet: it is made
        {FILE_ATTRIBUTE_DIRECTORY, true, L""},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true, L"it is a link"},
        {FILE_ATTRIBUTE_DIRECTORY, false, L"its owner is neither Administrators nor SYSTEM"},
        {FILE_ATTRIBUTE_ARCHIVE, true, L"it is not a directory"},
    };
    for (const auto& c : cases) {
        FoundDir found;
        found.attributes = c.attributes;
        found.ownerTrusted = c.ownerTrusted;
        EXPECT_EQ(mv::PrivateDirProblem(found), c.problem) << c.attributes;
    }
}

TEST_F(SettingsTest, CheckStampReadFromTemporaryCopy) {
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempPath=cache\r\nOwerCheckTm=1\r\nListFileZip=0\r\n");
    WriteIni(L"cache\\mirovane.ini", "[Mirovane]\r\nOwerCheckTm=140000\r\nListFileZip=1\r\n");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"OwerCheckTm"), L"140000");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"ListFileZip"), L"1");
    // Written stamps reach the temporary copy (it outlives the run); other keys touch no file.
    WriteSetting(L"Mirovane", L"OwerCheckTm", L"150000");
    WriteSetting(L"Mirovane", L"Log", L"x.log");
    std::string temp, app;
    ASSERT_TRUE(mv::ReadFileBytes(dir_ + L"cache\\mirovane.ini", temp));
    ASSERT_TRUE(mv::ReadFileBytes(dir_ + L"mirovane.ini", app));
    EXPECT_NE(temp.find("OwerCheckTm=150000"), std::string::npos) << temp;
    EXPECT_EQ(app.find("x.log"), std::string::npos);
    GlobalValues::Clear();
    EXPECT_EQ(ReadSetting(L"Mirovane", L"OwerCheckTm"), L"150000");
    // The rule is for section Mirovane exactly.
    WriteIni(L"mirovane.ini", "[mirovane]\r\nOwerCheckTm=7\r\n");
    EXPECT_EQ(ReadSetting(L"mirovane", L"OwerCheckTm"), L"7");
}

TEST(ListCacheNames, FilesNamedAfterTheCache) {
    const struct {
        std::wstring (*of)(const std::wstring&);
        const wchar_t* cache;
        const wchar_t* expected;
    } cases[] = {
        {PinnedListCopyOf, L"C:\\t\\0A1B-2C3D4E.xml", L"C:\\t\\0A1B-2C3D4E.xml.xml"},
        {ListSourceCopyOf, L"C:\\t\\0A1B-2C3D4E.xml", L"C:\\t\\0A1B-2C3D4E.xml.src.xml"},
        {MainListCopyOf, L"C:\\t\\0A1B-2C3D4E.xml", L"C:\\t\\0A1B-2C3D4E.xml.main.xml"},
        // After a quick check the pinned copy is the cache path.
        {MainListCopyOf, L"C:\\t\\0A1B-2C3D4E.xml.xml", L"C:\\t\\0A1B-2C3D4E.xml.xml.main.xml"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.of(c.cache), c.expected) << c.cache;
}

TEST_F(SettingsTest, ListCacheNamesFollowListUrl) {
    WriteIni(L"mirovane.ini", "[Mirovane]\r\nTempPath=cache\\\r\n[UPDATEINFO]\r\nListURL=abc\r\n");
    const std::wstring name = ListCacheName(L"abc9999999999");
    EXPECT_EQ(ListCacheDir(), dir_ + L"cache\\" + name);
    EXPECT_EQ(ListCacheXmlPath(), dir_ + L"cache\\" + name + L".xml");
    EXPECT_EQ(ListCacheLstPath(), dir_ + L"cache\\" + name + L".lst");
    EXPECT_EQ(ListCacheIniPath(), dir_ + L"cache\\" + name + L".ini");
    // Computed once per process: a list address filled in later keeps the names.
    WriteSetting(L"UPDATEINFO", L"ListURL", L"other{param1}/list.xml");
    WriteSetting(L"UPDATEINFO", L"Parameter1", L"-one");
    ResolveListSource();
    EXPECT_EQ(ListCacheDir(), dir_ + L"cache\\" + name);
    EXPECT_EQ(CurrentListSource().configured, L"other{param1}/list.xml");
    EXPECT_EQ(CurrentListSource().url, L"other-one/list.xml");
    EXPECT_EQ(CurrentListSource().base, L"other-one");
    EXPECT_EQ(CurrentListSource().mainUrl, kDefaultMainListUrl);
    GlobalValues::Remove(SettingCacheKey(L"UPDATEINFO", L"Parameter1"));
}
