#include "download/http.h"

#include <gtest/gtest.h>

#include "config/settings.h"
#include "../temp_dir.h"
#include "util/files.h"
#include "util/text.h"

namespace {

struct Case {
    const wchar_t* a;
    const wchar_t* b;
    const wchar_t* expected;
};

TEST(JoinUrl, Table) {
    const Case cases[] = {
        {L"http://h/dir", L"a\\b.dll", L"http://h/dir/a/b.dll"},
        {L"http://h//a", L"", L"http://h/a"},
        // Each replacement is one pass, so three slashes come out as two.
        {L"http://h/dir/", L"x", L"http://h/dir//x"},
        {L"HTTP://H/dir", L"sub/x.dll", L"HTTP://H/dir/sub/x.dll"},
        // Both schemes keep their separator.
        {L"https://h/dir", L"a\\b.dll", L"https://h/dir/a/b.dll"},
        {L"HTTPS://h\\dir", L"x", L"HTTPS://h/dir/x"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinUrl(c.a, c.b), c.expected) << c.a << L" + " << c.b;
}

TEST(JoinPath, Table) {
    const Case cases[] = {
        {L"C:\\t", L"D:\\x.dll", L"D:\\x.dll"},
        {L"C:\\t", L"sub/x.dll", L"C:\\t\\sub\\x.dll"},
        {L"C:\\t\\", L"\\sub\\\\x.dll", L"C:\\t\\sub\\x.dll"},
        // A colon at the start is no drive.
        {L"C:\\t", L":x", L"C:\\t\\:x"},
        {L"C:\\t", L"", L"C:\\t\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinPath(c.a, c.b), c.expected) << c.a << L" + " << c.b;
}

TEST(EscapeUrl, Table) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"http://h/a b+c%d", L"http://h/a%20b%2Bc%25d"},
        {L"http://h/p?x=1&y=2:3;@$,!*()'-_.", L"http://h/p?x=1&y=2:3;@$,!*()'-_."},
        {L"\"<>#{}|\\^~[]`", L"%22%3C%3E%23%7B%7D%7C%5C%5E%7E%5B%5D%60"},
        {L"http://h/\u4E2D\u6587.dll", L"http://h/%E4%B8%AD%E6%96%87.dll"},
        {L"\u00E9\u00E9", L"%C3%A9%C3%A9"},
        {L"a\U0001F600b", L"a%F0%9F%98%80b"},
        {L"tab\there", L"tab%09here"},
        // Already escaped text is escaped again.
        {L"%20", L"%2520"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeUrl(c.in), c.out) << c.in;
}

TEST(ParseContentLength, Table) {
    const struct {
        const wchar_t* text;
        long long value;
    } cases[] = {
        {L"12345", 12345},
        {L" 0 ", 0},
        {L"3000000000", 3000000000LL},  // not cut to 32 bits
        {L"999999999999999999", 999999999999999999LL},
        {L"9999999999999999999", -1},  // would overflow
        {L"", -1},
        {L"-5", -1},
        {L"+5", -1},
        {L"12abc", -1},
        {L"1 2", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseContentLength(c.text), c.value) << L"[" << c.text << L"]";
}

TEST(Agents, CountersAreSeparate) {
    // Other tests in this process may have used the counters: compare steps here; the first
    // values are shown in a fresh process (black-box test_http).
    std::wstring a = NextConnectionAgent(), b = NextConnectionAgent(), q = NextSizeQueryAgent(),
                 r = NextSizeQueryAgent();
    ASSERT_EQ(a.rfind(L"down", 0), 0u);
    ASSERT_EQ(q.rfind(L"querysize", 0), 0u);
    EXPECT_EQ(std::stol(b.substr(4)), std::stol(a.substr(4)) + 1);
    EXPECT_EQ(std::stol(r.substr(9)), std::stol(q.substr(9)) + 1);
    EXPECT_EQ(NextConnectionAgent(), mv::Format(L"down%ld", std::stol(b.substr(4)) + 1));
}

TEST(RemoveFile, RelativeToAppDirAndReadOnly) {
    TempDir temp;
    const std::wstring dir = temp.path();
    const std::wstring saved = GetAppDir();
    SetAppDir(dir);
    ASSERT_TRUE(mv::WriteFileBytes(dir + L"ro.txt", "x"));
    SetFileAttributesW((dir + L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(RemoveFile(L"ro.txt"));
    EXPECT_FALSE(mv::FileExists(dir + L"ro.txt"));
    EXPECT_FALSE(RemoveFile(L"ro.txt"));
    ASSERT_TRUE(mv::WriteFileBytes(dir + L"abs.txt", "x"));
    EXPECT_TRUE(RemoveFile(dir + L"abs.txt"));
    SetAppDir(saved);
}

}  // namespace
