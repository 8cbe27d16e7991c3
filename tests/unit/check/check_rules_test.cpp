#include "check/check_rules.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(ListBaseOf, Table) {
    struct Case {
        const wchar_t* url;
        const wchar_t* base;
    } cases[] = {
        {L"http://h/d/list.xml", L"http://h/d"},
        {L"http://h/d/", L"http://h/d/"},
        {L"http://h/d/x", L"http://h/d/x"},        // "/" among the last two characters
        {L"http://h/d/xy", L"http://h/d"},
        {L"http://h/list.aspx?p=a/b/c.xml", L"http://h"},  // parameters ignored
        {L"http://h/d/list.aspx?x=/", L"http://h/d"},
        {L"list.xml", L""},
        {L"/list.xml", L""},                         // a "/" at position 0 does not count
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(ListBaseOf(c.url), c.base) << c.url;
}

TEST(ParseVersionPage, TagsInAnyCaseValuesKeptAndTrimmed) {
    struct Case {
        const char* page;
        const wchar_t* version;
        std::vector<std::wstring> urls;
    } cases[] = {
        {"<ver>2.5.1</ver><url>http://a/l1.xml</url><url>http://a/l2.xml</url>", L"2.5.1",
         {L"http://a/l1.xml", L"http://a/l2.xml"}},
        {"<VER>3</VER>", L"3", {}},
        {"<Ver>Beta-B</Ver><URL>HTTP://A/Big.XML</URL>", L"Beta-B", {L"HTTP://A/Big.XML"}},
        {"<ver>\r\n  4.0 \r\n</ver>\r\n<url>\n http://a/x.xml\n</url>", L"4.0", {L"http://a/x.xml"}},
        {"junk before\r\n<page><ver>1</ver></page>", L"1", {}},
        {"<ver>5", L"", {}},                                   // no "<" after the value
        {"<url>http://a/1.xml</url><ver>6</ver><url>http://a/2.xml", L"6", {L"http://a/1.xml"}},
        {"<ver>7</ver><url>ftp://a/x.xml</url><url>file:///c:/x.xml</url><url></url>", L"7", {}},
        {"<versions>8</versions>", L"", {}},
        {"<ver>2.0\tx\nfile</ver>", L"", {}},                // a control character inside: refused
        {"", L"", {}},
    };
    for (const Case& c : cases) {
        VersionPage p = ParseVersionPage(c.page);
        EXPECT_EQ(p.version, c.version) << c.page;
        EXPECT_EQ(p.urls, c.urls) << c.page;
    }
}

TEST(ParseVersionPage, Limits) {
    std::string many = "<ver>1</ver>";
    for (int i = 0; i < 20; ++i) {
        many.append("<url>http://a/");
        many.append(std::to_string(i));
        many.append(".xml</url>");
    }
    VersionPage p = ParseVersionPage(many);
    ASSERT_EQ(p.urls.size(), kMaxCandidateLists);
    EXPECT_EQ(p.urls.back(), L"http://a/15.xml");
    EXPECT_FALSE(p.notes.empty());

    auto versionOf = [](size_t n) {
        std::string page = "<ver>";
        page.append(n, 'v');
        page.append("</ver>");
        return page;
    };
    EXPECT_EQ(ParseVersionPage(versionOf(kMaxVersionChars)).version.size(), kMaxVersionChars);
    EXPECT_TRUE(ParseVersionPage(versionOf(kMaxVersionChars + 1)).version.empty());

    std::string big = "<ver>9</ver>";
    big.append(kMaxVersionPageBytes, ' ');
    EXPECT_TRUE(ParseVersionPage(big).version.empty());
}

TEST(RecordPathProblem, Table) {
    struct Case {
        const wchar_t* path;
        bool ok;
    } cases[] = {
        {L"a.dll", true},
        {L"bin\\tool.dll", true},
        {L"bin/sub/tool.dll", true},
        {L"a..b.dll", true},
        {L".\\a.dll", true},
        {L"", false},
        {L"  ", false},
        {L"\\windows\\a.dll", false},
        {L"/etc/a", false},
        {L"C:\\a.dll", false},
        {L"c:a.dll", false},
        {L"\\\\server\\share\\a.dll", false},
        {L"\\\\?\\C:\\a.dll", false},
        {L"\\\\.\\pipe\\x", false},
        {L"..\\a.dll", false},
        {L"bin\\..\\..\\a.dll", false},
        {L"bin/../a.dll", false},
        {L"bin\\...\\a.dll", false},
        {L"a.dll:stream", false},
        {L"*.dll", false},
        {L"a?.dll", false},
        {L"con", false},
        {L"bin\\NUL.txt", false},
        {L"com1.dll", false},
        {L"lpt9", false},
        {L"com10.dll", true},
        {L"console.dll", true},
        {L"a\tb.dll", false},
    };
    for (const Case& c : cases) EXPECT_EQ(RecordPathProblem(c.path).empty(), c.ok) << c.path;
}

TEST(InstallTargetProblem, Table) {
    struct Case {
        const wchar_t* target;
        bool ok;
    } cases[] = {
        {L"{app}\\a.dll", true},
        {L"{sys}\\a.dll", true},
        {L"C:\\Program Files\\x\\a.dll", true},
        {L"a.dll", true},
        {L"sub\\a.dll", true},
        {L"\\\\server\\share\\a.dll", false},
        {L"//server/share/a.dll", false},
        {L"\\\\?\\C:\\a.dll", false},
        {L"\\\\.\\C:", false},
        {L"C:\\a.dll:ads", false},
        {L"a.dll:ads", false},
        {L"1:\\a.dll", false},
        {L"{app}\\..\\a.dll", false},
        {L"C:\\x\\..\\..\\windows\\a.dll", false},
        {L"{app}\\aux.dll", false},
        {L"{app}\\*.dll", false},
    };
    for (const Case& c : cases) EXPECT_EQ(InstallTargetProblem(c.target).empty(), c.ok) << c.target;
}

TEST(ChecksumQueryUrl, EscapesWhatWouldEndTheValue) {
    EXPECT_EQ(ChecksumQueryUrl(L"http://s/md5.aspx", L"kd/x.dll"), L"http://s/md5.aspx?FileUrl=kd/x.dll");
    EXPECT_EQ(ChecksumQueryUrl(L"http://s/m", L"a&b=c?d#e f.dll"), L"http://s/m?FileUrl=a%26b%3Dc%3Fd%23e%20f.dll");
    EXPECT_EQ(ChecksumQueryUrl(L"http://s/m", L"100%.dll"), L"http://s/m?FileUrl=100%25.dll");
}

TEST(ChecksumReply, EncodingsAndUsability) {
    const std::string ascii = "0123456789abcdef0123456789ABCDEF";
    std::string wide, bom = "\xFF\xFE";
    for (char c : ascii) wide += std::string{c, '\0'};
    struct Case {
        std::string body;
        const wchar_t* text;
        bool usable;
    } cases[] = {
        {ascii, L"0123456789abcdef0123456789ABCDEF", true},
        {ascii + "\r\n", L"0123456789abcdef0123456789ABCDEF", true},
        {wide, L"0123456789abcdef0123456789ABCDEF", true},
        {bom + wide, L"0123456789abcdef0123456789ABCDEF", true},
        {std::string(32, '0'), L"00000000000000000000000000000000", false},
        {ascii.substr(1), L"123456789abcdef0123456789ABCDEF", false},
        {"", L"", false},
    };
    for (const Case& c : cases) {
        const std::wstring text = DecodeChecksumReply(c.body);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(ChecksumUsable(text), c.usable) << c.body;
    }
}

TEST(SubstituteVersion, Format) {
    GUID g{0x0123ABCD, 0x4EF5, 0xABCD, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(SubstituteVersion(g), L"0123ABCD4EF5abcd0123456789ABCDEF");
}

updatefileinfo Rec(const wchar_t* path, const wchar_t* ver, int action = 0, const wchar_t* desname = L"") {
    updatefileinfo r;
    r.path = path;
    r.ver = ver;
    r.action = action;
    r.desname = desname;
    return r;
}

std::vector<std::wstring> Paths(const RecordArray& a) {
    std::vector<std::wstring> out;
    for (const auto& r : a) out.push_back(r.path);
    return out;
}

TEST(CompareRecords, VersionsPathsAndSpecialRecords) {
    const RecordArray installed = {Rec(L"a.dll", L"2"), Rec(L"b.dll", L"1"), Rec(L"c.dll", L"2"),
                                   Rec(L"e.dll", L"1.0.a"), Rec(L"task9-s919k", L"999", RunTaskRecord)};
    const RecordArray remote = {
        Rec(L"a.dll", L"2"),                         // same: not updated
        Rec(L"b.dll", L"2"),                         // changed
        Rec(L"C.dll", L"2"),                         // path case differs: new
        Rec(L"d.dll", L""),                          // no version: never
        Rec(L"e.dll", L" 1.0.A "),                   // version case and blanks do not count
        Rec(L"new.dll", L"1"),                       // new file
        Rec(L"task9-s919k", L"999", RunTaskRecord),  // task already run
        Rec(L"other9919", L"999", RunTaskRecord),    // new task
        Rec(L"text", L"999", DescriptionRecord),     // new description
        Rec(L"..\\evil.dll", L"1"),                  // refused
        Rec(L"ok.dll", L"1", 0, L"\\\\server\\share\\ok.dll"),  // refused target
    };
    CompareInput in;
    CompareResult r = CompareRecords(remote, installed, in);
    EXPECT_EQ(Paths(r.update), (std::vector<std::wstring>{L"b.dll", L"C.dll", L"new.dll", L"other9919", L"text"}));
    EXPECT_EQ(r.refused.size(), 2u);
}

TEST(CompareRecords, LostFiles) {
    std::set<std::wstring> onDisk = {L"T:\\app\\a.dll", L"T:\\app\\a2.dll", L"T:\\app\\b.dll"};
    std::vector<std::wstring> looked;
    CompareInput in;
    in.checkLostFiles = true;
    in.targetsOf = [](const updatefileinfo& r) {
        std::vector<std::wstring> t;
        for (const auto& item : DesnameItems(r.desname)) t.push_back(L"T:\\app\\" + item);
        if (t.empty()) t.push_back(L"T:\\app\\" + r.path);
        return t;
    };
    in.targetExists = [&](const std::wstring& p) {
        looked.push_back(p);
        return onDisk.count(p) > 0;
    };
    const RecordArray installed = {Rec(L"a.dll", L"1"), Rec(L"b.dll", L"1"), Rec(L"gone.dll", L"1"), Rec(L"two", L"1")};
    const RecordArray remote = {
        Rec(L"a.dll", L"1", 0, L"a.dll;a2.dll"),   // both targets there
        Rec(L"two", L"1", 0, L"a.dll|lost.dll"),   // second target missing
        Rec(L"gone.dll", L"1", ActionRemove),      // remove records skip the disk test
        Rec(L"nover.dll", L""),                    // no version: never, even when missing
        Rec(L"b.dll", L"1", 0, L"x\\..\\..\\b.dll"),  // refused before any disk test
    };
    CompareResult r = CompareRecords(remote, installed, in);
    EXPECT_EQ(Paths(r.update), (std::vector<std::wstring>{L"two"}));
    EXPECT_EQ(looked, (std::vector<std::wstring>{L"T:\\app\\a.dll", L"T:\\app\\a2.dll", L"T:\\app\\a.dll",
                                                 L"T:\\app\\lost.dll"}));
    EXPECT_EQ(r.refused.size(), 1u);
}

TEST(QuickCheckApplies, Table) {
    EXPECT_TRUE(QuickCheckApplies(L"checkforupdates", true, false));
    EXPECT_TRUE(QuickCheckApplies(L"appenter", true, false));
    EXPECT_TRUE(QuickCheckApplies(L"appenternoprompt", true, false));
    EXPECT_FALSE(QuickCheckApplies(L"silence", true, false));
    EXPECT_FALSE(QuickCheckApplies(L"appenter", false, false));
    EXPECT_FALSE(QuickCheckApplies(L"appenter", true, true));
}

TEST(CapDescription, CutsAtTheLimit) {
    std::wstring d(kMaxDescriptionChars, L'x');
    EXPECT_FALSE(CapDescription(d));
    d += L"yz";
    EXPECT_TRUE(CapDescription(d));
    EXPECT_EQ(d.size(), kMaxDescriptionChars);
}

}  // namespace
