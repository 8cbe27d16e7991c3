#include "check/list_trust.h"

#include <gtest/gtest.h>

namespace {

TEST(SignatureUrlOf, SuffixBeforeTheQuery) {
    EXPECT_EQ(SignatureUrlOf(L"http://h/rel/list.xml"), L"http://h/rel/list.xml.sig");
    EXPECT_EQ(SignatureUrlOf(L"http://h/list.aspx?p=1&q=a.xml"), L"http://h/list.aspx.sig?p=1&q=a.xml");
    EXPECT_EQ(SignatureUrlOf(L"http://h/main.xml?"), L"http://h/main.xml.sig?");
}

TEST(ParseUtcTime, Table) {
    struct Case {
        const wchar_t* text;
        bool ok;
        long long seconds;
    } cases[] = {
        {L"1970-01-01", true, 0},
        {L"2030-01-31T12:00:00Z", true, 1896091200},
        {L" 2030-01-31T12:00Z ", true, 1896091200},
        {L"2030-01-31T12:00:00.250Z", true, 1896091200},
        {L"2030-01-31T14:00:00+02:00", true, 1896091200},
        {L"2030-01-31T10:30:00-01:30", true, 1896091200},
        {L"2024-02-29", true, 1709164800},  // leap day
        {L"2023-02-29", false, 0},
        {L"2030-13-01", false, 0},
        {L"2030-01-31T12:00:00", false, 0},  // no zone: local time
        {L"2030-01-31T24:00:00Z", false, 0},
        {L"2030-01-31 12:00:00Z", false, 0},
        {L"2030-01-31T12:00:00Zjunk", false, 0},
        {L"30-01-31", false, 0},
        {L"", false, 0},
        {L"tomorrow", false, 0},
    };
    for (const Case& c : cases) {
        long long s = 0;
        EXPECT_EQ(ParseUtcTime(c.text, s), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(s, c.seconds) << c.text;
        }
    }
}

TEST(FormatUtcTime, WritesWhatParseUtcTimeReads) {
    EXPECT_EQ(FormatUtcTime(0), L"1970-01-01T00:00:00Z");
    EXPECT_EQ(FormatUtcTime(1709164800 + 3661), L"2024-02-29T01:01:01Z");
    EXPECT_EQ(FormatUtcTime(1896091200), L"2030-01-31T12:00:00Z");
    for (long long t : {951782400LL, 4102444799LL, 1735689599LL}) {
        long long back = 0;
        ASSERT_TRUE(ParseUtcTime(FormatUtcTime(t), back)) << t;
        EXPECT_EQ(back, t);
    }
}

TEST(ParseSequence, Table) {
    struct Case {
        const wchar_t* text;
        bool ok;
        long long value;
    } cases[] = {
        {L"1", true, 1},          {L" 42\r\n", true, 42}, {L"999999999999999999", true, 999999999999999999LL},
        {L"0", false, 0},         {L"-3", false, 0},      {L"1e3", false, 0},
        {L"+5", false, 0},        {L"", false, 0},        {L"1000000000000000000", false, 0},  // 19 digits
    };
    for (const Case& c : cases) {
        long long v = 0;
        EXPECT_EQ(ParseSequence(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ListTrustProblem, Table) {
    const long long now = 1896091200;  // 2030-01-31T12:00:00Z
    struct Case {
        const wchar_t* sequence;  // nullptr: absent
        const wchar_t* expires;
        const wchar_t* guid;
        long long installed;
        const wchar_t* expectedGuid;
        const wchar_t* problemStart;  // empty: accepted
    } cases[] = {
        {L"5", nullptr, nullptr, 0, L"", L""},
        {L"5", nullptr, nullptr, 5, L"", L""},  // the same release checked again
        {L"5", nullptr, nullptr, 6, L"", L"the list is older than the installed release"},
        {nullptr, nullptr, nullptr, 0, L"", L"the list has no usable sequence"},
        {L"x", nullptr, nullptr, 0, L"", L"the list has no usable sequence"},
        {L"5", L"2030-01-31T12:00:01Z", nullptr, 0, L"", L""},
        {L"5", L"2030-01-31T12:00:00Z", nullptr, 0, L"", L"the list expired on"},
        {L"5", L"soon", nullptr, 0, L"", L"the list's expiry"},
        {L"5", nullptr, L"{ABC-1}", 0, L"abc-1", L""},  // braces and case do not matter
        {L"5", nullptr, L"abc-2", 0, L"abc-1", L"the list belongs to another product"},
        {L"5", nullptr, nullptr, 0, L"abc-1", L"the list belongs to another product"},
        {L"5", nullptr, L"abc-2", 0, L"", L""},  // no ListGuid: any product
    };
    for (const Case& c : cases) {
        ListTrustValues v;
        v.hasSequence = c.sequence != nullptr;
        v.sequence = c.sequence ? c.sequence : L"";
        v.hasExpires = c.expires != nullptr;
        v.expires = c.expires ? c.expires : L"";
        v.hasGuid = c.guid != nullptr;
        v.guid = c.guid ? c.guid : L"";
        ListTrustInput in{c.installed, c.expectedGuid, now};
        long long sequence = 0;
        const std::wstring problem = ListTrustProblem(v, in, sequence);
        EXPECT_EQ(problem.rfind(c.problemStart, 0), 0u) << (c.sequence ? c.sequence : L"-") << " -> " << problem;
        EXPECT_EQ(problem.empty(), std::wstring(c.problemStart).empty()) << problem;
    }
}

TEST(FileHashProblem, Table) {
    const std::wstring good(64, L'a');
    struct Case {
        const wchar_t* sha256;
        int action;
        bool signedList;
        bool refused;
    } cases[] = {
        {L"", 0, false, false},
        {L"", 0, true, true},
        {L"", ActionRemove, true, false},          // a removal carries no file
        {L"", RunTaskRecord, true, false},
        {L"", DescriptionRecord, true, false},
        {good.c_str(), 0, true, false},
        {L"ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789", 0, true, false},
        {L"abc", 0, false, true},                  // malformed: refused with or without a key
        {L"zz", 0, true, true},
    };
    for (const Case& c : cases) {
        updatefileinfo r;
        r.path = L"a.dll";
        r.sha256 = c.sha256;
        r.action = c.action;
        EXPECT_EQ(!FileHashProblem(r, c.signedList).empty(), c.refused) << c.sha256 << " " << c.action;
    }
}

}  // namespace
