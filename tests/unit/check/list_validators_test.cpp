#include "check/list_validators.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kUrl[] = L"http://h/rel/list.xml";

TEST(ListValidators, RoundTripAndHostileFiles) {
    ListValidators v;
    v.url = kUrl;
    v.etag = L"\"65f0a1-1c2\"";
    v.lastModified = L"Tue, 12 Mar 2024 10:00:00 GMT";
    v.zipped = true;
    v.size = 1234;
    v.hash = 0xFEDCBA9876543210ull;
    v.zipMissingDay = 4800;
    const ListValidators back = ParseValidators(FormatValidators(v));
    EXPECT_EQ(back.url, v.url);
    EXPECT_EQ(back.etag, v.etag);
    EXPECT_EQ(back.lastModified, v.lastModified);
    EXPECT_TRUE(back.zipped);
    EXPECT_EQ(back.size, v.size);
    EXPECT_EQ(back.hash, v.hash);
    EXPECT_EQ(back.zipMissingDay, 4800);

    struct Case {
        const char* text;
        const wchar_t* etag;
        uint64_t size;
    } cases[] = {
        {"", L"", 0},
        {"garbage without equals\n\xff\xfe\n", L"", 0},
        {"etag=\"a\"\r\nsize=12\r\n", L"\"a\"", 12},                   // CR LF lines
        {"etag=a\x01" "b\nsize=-5\n", L"", 0},                           // control character, negative
        {"size=99999999999999999999999\n", L"", 0},                       // too long a number
        {("etag=" + std::string(300, 'x') + "\n").c_str(), L"", 0},      // over the length limit
    };
    for (const Case& c : cases) {
        const ListValidators p = ParseValidators(c.text);
        EXPECT_EQ(p.etag, c.etag) << c.text;
        EXPECT_EQ(p.size, c.size) << c.text;
    }
}

TEST(ConditionalHeaders, OnlyForTheSameAddressAndForm) {
    ListValidators v;
    v.url = kUrl;
    v.etag = L"\"e1\"";
    v.lastModified = L"Tue, 12 Mar 2024 10:00:00 GMT";
    struct Case {
        const wchar_t* url;
        bool zipped;
        std::wstring headers;
    } cases[] = {
        {kUrl, false, L"If-None-Match: \"e1\"\r\nIf-Modified-Since: Tue, 12 Mar 2024 10:00:00 GMT\r\n"},
        {kUrl, true, L""},                        // the zipped form has validators of its own
        {L"http://h/rel/other.xml", false, L""},  // another address
    };
    for (const Case& c : cases) EXPECT_EQ(ConditionalHeaders(v, c.url, c.zipped), c.headers) << c.url;

    ListValidators onlyDate = v;
    onlyDate.etag.clear();
    EXPECT_EQ(ConditionalHeaders(onlyDate, kUrl, false), L"If-Modified-Since: Tue, 12 Mar 2024 10:00:00 GMT\r\n");
    // A value that would end the header early is never sent back.
    ListValidators injected = v;
    injected.etag = L"\"x\"\r\nX-Evil: 1";
    injected.lastModified.clear();
    EXPECT_EQ(ConditionalHeaders(injected, kUrl, false), L"");
    EXPECT_EQ(ConditionalHeaders(ListValidators{}, kUrl, false), L"");
}

TEST(ZippedForm, FirstOnlyWhenFoundLastTimeAndOneMissAPerDay) {
    const long long today = DayStampFromUnixSeconds(1710237600);  // 2024-03-12
    ASSERT_EQ(DayStampFromUnixSeconds(1293840000), 1);              // 2011-01-01
    ASSERT_EQ(DayStampFromUnixSeconds(0), 0);
    struct Case {
        const wchar_t* url;
        bool zipped;
        long long missingDay;
        bool first, worth;
    } cases[] = {
        {kUrl, true, 0, true, true},
        {kUrl, false, 0, false, true},
        {kUrl, false, today, false, false},           // already missed today
        {kUrl, false, today - 1, false, true},        // a new day: one more try
        {L"http://h/other.xml", true, today, false, true},  // values of another address
    };
    for (const Case& c : cases) {
        ListValidators v;
        v.url = c.url;
        v.zipped = c.zipped;
        v.zipMissingDay = c.missingDay;
        EXPECT_EQ(ZippedFormFirst(v, kUrl), c.first) << c.url << c.missingDay;
        EXPECT_EQ(ZippedFormWorthTrying(v, kUrl, today), c.worth) << c.url << c.missingDay;
    }
}

TEST(ContentHash, KnownValuesAndSensitivity) {
    EXPECT_EQ(ContentHash(""), 14695981039346656037ull);
    EXPECT_EQ(ContentHash("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_NE(ContentHash("<update/>"), ContentHash("<update/ >"));
}

}  // namespace

namespace {
TEST(ValidatorsFileOf, BesideTheCopy) {
    EXPECT_EQ(ValidatorsFileOf(L"C:\\t\\0A1B-2C3D4E.xml.src.xml"), L"C:\\t\\0A1B-2C3D4E.xml.src.xml.meta");
}
}  // namespace
