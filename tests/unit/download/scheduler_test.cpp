#include "download/scheduler.h"

#include <gtest/gtest.h>

#include "config/settings.h"

namespace {

TEST(IsSafeLocalName, Table) {
    struct Case {
        const wchar_t* path;
        bool safe;
    };
    const Case cases[] = {
        {L"a.dll", true},          {L"sub\\a.dll", true},     {L"sub/a.dll", true},
        {L".\\a.dll", true},       {L"a..b.dll", true},       {L"", false},
        {L"  ", false},            {L"..\\a.dll", false},     {L"sub\\..\\..\\a.dll", false},
        {L"sub/../a.dll", false},  {L"...\\a.dll", false},    {L"C:\\a.dll", false},
        {L"C:a.dll", false},       {L"\\a.dll", false},       {L"/a.dll", false},
        {L"\\\\srv\\s\\a", false}, {L"a.dll:stream", false},  {L".", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSafeLocalName(c.path), c.safe) << c.path;
}

TEST(NormalizedLocalName, SameFileSameName) {
    EXPECT_EQ(NormalizedLocalName(L"C:\\W\\Sub//A.dll"), NormalizedLocalName(L"c:\\w\\sub\\a.DLL"));
    EXPECT_EQ(NormalizedLocalName(L"C:\\w\\\\a.dll"), L"c:\\w\\a.dll");
    EXPECT_NE(NormalizedLocalName(L"C:\\w\\a.dll"), NormalizedLocalName(L"C:\\w\\b.dll"));
}

TEST(RecordDownloadUrl, Table) {
    const std::wstring pattern = L"{listurl-base}/{filename}";
    EXPECT_EQ(RecordDownloadUrl(L"http://x/y.bin", pattern, L"http://h/rel", L"a.dll"), L"http://x/y.bin");
    EXPECT_EQ(RecordDownloadUrl(L"", pattern, L"http://h/rel", L"sub\\a.dll"), L"http://h/rel/sub/a.dll");
    EXPECT_EQ(RecordDownloadUrl(L"", pattern, L"http://h/rel/", L"a.dll"), L"http://h/rel/a.dll");
    EXPECT_EQ(RecordDownloadUrl(L"", L"http://cdn/{filename}?v=1", L"http://h/rel", L"a.dll"), L"http://cdn/a.dll?v=1");
}

}  // namespace
