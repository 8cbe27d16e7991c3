#include "updatelist/list_cache.h"

#include <gtest/gtest.h>

#include "../temp_dir.h"

#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "updatelist/download_list.h"
#include "util/files.h"
#include "util/text.h"

namespace {

TEST(HourStamp, WholeHoursSince2011) {
    const struct {
        WORD y, mo, d, h, mi;
        long long stamp;
    } cases[] = {
        {2011, 1, 1, 0, 0, 0},    {2011, 1, 1, 0, 59, 0},  {2011, 1, 1, 1, 0, 1},
        {2011, 1, 2, 1, 30, 25},  {2012, 1, 1, 0, 0, 8760}, {2024, 3, 1, 12, 0, 115404},
    };
    for (const auto& c : cases) {
        SYSTEMTIME t{};
        t.wYear = c.y, t.wMonth = c.mo, t.wDay = c.d, t.wHour = c.h, t.wMinute = c.mi;
        EXPECT_EQ(HourStampAt(t), c.stamp) << c.y << "-" << c.mo << "-" << c.d << " " << c.h;
    }
    EXPECT_GT(HourStamp(), 115404);
}

class ListCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteSetting(L"Mirovane", L"TempAppPath", L"0");
        WriteSetting(L"Mirovane", L"TempPath", dir_.path());
        WriteSetting(L"UPDATEINFO", L"ListURL", L"http://127.0.0.1:1/list.xml");
        ResetListSource();
        savedStage_ = TheDownLoadList().stage;
    }
    void TearDown() override {
        for (const wchar_t* k : {L"MirovaneTempAppPath", L"MirovaneTempPath", L"UPDATEINFOListURL", L"MirovaneOwerCheckTm",
                                 L"fromqwebsvr", L"threadcount", L"filethread", L"updateurl", L"note", L"other",
                                 L"UpdateEventUpdateNone", L"UpdateEventWaitCloseUpdateNone", L"runmode"})
            GlobalValues::Remove(k);
        ResetListSource();
        TheDownLoadList().stage = savedStage_;
    }
    bool Package() const { return mv::FileExists(SettingsPackagePath()); }
    void MakePackage() const { ASSERT_TRUE(mv::WriteFileBytes(SettingsPackagePath(), "PK")); }
    std::wstring Stamp() const { return ReadSetting(L"Mirovane", L"OwerCheckTm"); }

    TempDir dir_;
    int savedStage_ = 0;
};

TEST_F(ListCacheTest, PackagePathBesideTheListCache) {
    EXPECT_EQ(SettingsPackagePath(), ListCacheDir() + L".bin");
    EXPECT_EQ(SettingsPackagePath().rfind(dir_.path(), 0), 0u);
}

TEST_F(ListCacheTest, BookkeepingAgesThePackage) {
    TheDownLoadList().stage = UpdateCheckRemoteOk;
    const struct {
        const wchar_t* stamp;
        long long now;
        const wchar_t* fromServer;
        bool kept;
    } cases[] = {
        {L"1000", 1049, L"", false}, {L"1000", 1048, L"", true},     {L"1000", 951, L"", false},
        {L"1000", 952, L"", true},   {L"1000", 1000, L"true", false}, {L"1000", 1000, L"True", true},
        {L"", 100, L"", false},
    };
    for (const auto& c : cases) {
        MakePackage();
        WriteSetting(L"Mirovane", L"OwerCheckTm", c.stamp);
        GlobalValues::Set(L"fromqwebsvr", c.fromServer);
        ListCacheBookkeepingAt(c.now);
        EXPECT_EQ(Package(), c.kept) << c.stamp << " at " << c.now;
        EXPECT_EQ(Stamp(), std::to_wstring(c.now));
    }
}

TEST_F(ListCacheTest, BookkeepingWaitsForASuccessfulCheck) {
    for (int stage : {UpdateNone, UpdateCheckRemote, UpdateCheckRemoteError}) {
        TheDownLoadList().stage = stage;
        MakePackage();
        WriteSetting(L"Mirovane", L"OwerCheckTm", L"5");
        ListCacheBookkeepingAt(1000);
        EXPECT_TRUE(Package());
        EXPECT_EQ(Stamp(), L"5");
    }
    TheDownLoadList().stage = UpdateEnd;
    ListCacheBookkeepingAt(1000);
    EXPECT_FALSE(Package());
}

TEST_F(ListCacheTest, PackageFieldsGoIntoGlobalValues) {
    EXPECT_TRUE(ApplySettingsPackageText(
        L"<?xml version=\"1.0\"?><fields><threadcount>80</threadcount><filethread>0</filethread>"
        L"<updateurl>http://a/b\nc</updateurl><fromqwebsvr>true</fromqwebsvr><!-- c --></fields>"));
    EXPECT_EQ(GlobalValues::Get(L"threadcount"), L"80");
    EXPECT_EQ(GlobalValues::Get(L"filethread"), L"0");
    EXPECT_EQ(GlobalValues::Get(L"updateurl"), L"http://a/b\r\nc");
    EXPECT_EQ(GlobalValues::Get(L"fromqwebsvr"), L"true");

    for (const wchar_t* bad : {L"<fields></fields>", L"<other><x>1</x></other>", L"<fields><x>1</x>", L""})
        EXPECT_FALSE(ApplySettingsPackageText(bad)) << mv::ToUtf8(bad);
    EXPECT_FALSE(GlobalValues::Has(L"other"));

    // A package never pulls in another file's content.
    const std::wstring secret = dir_.File(L"secret.txt");
    ASSERT_TRUE(mv::WriteFileBytes(secret, "leaked"));
    ApplySettingsPackageText(L"<!DOCTYPE fields [<!ENTITY e SYSTEM \"" + mv::ReplaceAll(secret, L"\\", L"/") +
                             L"\">]><fields><updateurl>&e;</updateurl></fields>");
    EXPECT_EQ(GlobalValues::Get(L"updateurl").find(L"leaked"), std::wstring::npos);
    DeleteFileW(secret.c_str());
}

TEST_F(ListCacheTest, PackageValuesNeverReadAsSettings) {
    // The package sits in a directory any user may write; the settings decide which programs run.
    GlobalValues::Set(L"runmode", L"silence");
    EXPECT_FALSE(ApplySettingsPackageText(
        L"<fields><UpdateEventUpdateNone>C:\\evil.bat</UpdateEventUpdateNone>"
        L"<UpdateEventWaitCloseUpdateNone>C:\\evil.bat</UpdateEventWaitCloseUpdateNone>"
        L"<MirovaneTempPath>C:\\evil</MirovaneTempPath><runmode>uninstall</runmode><note>x</note></fields>"));
    EXPECT_EQ(ReadSetting(L"UpdateEvent", L"UpdateNone"), L"");
    EXPECT_EQ(ReadSetting(L"UpdateEventWaitClose", L"UpdateNone"), L"");
    EXPECT_EQ(ReadSetting(L"Mirovane", L"TempPath"), dir_.path());
    EXPECT_EQ(GlobalValues::Get(L"runmode"), L"silence");
    EXPECT_FALSE(GlobalValues::Has(L"note"));
}

TEST_F(ListCacheTest, NoPackageLeavesTheDefaults) {
    EXPECT_FALSE(LoadSettingsPackage());
    EXPECT_EQ(DownloadFilesAtOnce(), 8);
    EXPECT_EQ(DownloadConnectionsPerFile(), 8);
}

}  // namespace
