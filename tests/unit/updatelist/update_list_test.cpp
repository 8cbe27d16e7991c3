#include "updatelist/update_list.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <functional>
#include <thread>

#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "../temp_dir.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/text.h"

namespace {

std::wstring Show(const updatefileinfo& r) {
    return mv::Format(L"url=%s path=%s des=%s ver=%s short=%s icon=%s index=%s action=%#x", r.url.c_str(),
                      r.path.c_str(), r.desname.c_str(), r.ver.c_str(), r.shortcut.c_str(), r.shortcuticon.c_str(),
                      r.iconindex.c_str(), r.action);
}

std::vector<std::wstring> ShowAll(const RecordArray& records) {
    std::vector<std::wstring> out;
    for (const auto& r : records) out.push_back(Show(r));
    return out;
}

updatefileinfo File(const std::wstring& path, const std::wstring& ver = L"", int action = 0, const std::wstring& url = L"") {
    updatefileinfo r;
    r.path = path;
    r.ver = ver;
    r.action = action;
    r.url = url;
    return r;
}

updatefileinfo Special(int action, const std::wstring& text) {
    updatefileinfo r;
    r.action = action;
    r.path = r.desname = text;
    r.ver = L"999";
    return r;
}

class UpdateListTest : public ::testing::Test {
protected:
    std::wstring Write(const std::wstring& xml, const std::wstring& name = L"list.xml") {
        std::wstring path = dir_.File(name);
        EXPECT_TRUE(mv::WriteFileBytes(path, mv::ToUtf8(xml)));
        return path;
    }
    std::vector<std::wstring> Read(const std::wstring& xml, bool remote = true) {
        RecordArray records;
        EXPECT_TRUE(LoadUpdateList(Write(xml), records, remote)) << xml;
        return ShowAll(records);
    }
    // The log goes to the test's own directory, where the test can read it.
    void SetUp() override {
        saved_ = TheDownLoadList();
        savedAppDir_ = GetAppDir();
        SetAppDir(dir_.path());
        WriteSetting(L"Mirovane", L"Log", L"test.log");
    }
    void TearDown() override {
        GlobalValues::Remove(SettingCacheKey(L"Mirovane", L"Log"));
        SetAppDir(savedAppDir_);
        TheDownLoadList() = saved_;
    }
    std::string Log() {
        std::string log;
        mv::ReadFileBytes(dir_.File(L"test.log"), log);
        return log;
    }

    TempDir dir_;
    DownLoadList saved_;
    std::wstring savedAppDir_;
};

TEST(ParseActionFlags, Texts) {
    const struct {
        const wchar_t* text;
        int flags;
    } cases[] = {
        {L"", 0},          {L"copy", 0},       {L"3", 3},          {L"run del", 3},    {L"exe,del", 3},
        {L"1 del", 3},     {L"run,del", 3},    {L"12", 12},        {L"boot", 8},       {L"REG", 4},
        {L"Run", 1},       {L"runexe", 1},     {L"2del", 2},       {L" 3", 0},         {L"-1", 0},
        {L"4reboot", 12},  {L"setup.exe", 1},  {L"delete,reg", 6},
        // The marker bits never come from a text, however large the number.
        {L"2113929216", 0}, {L"2130706432", 0}, {L"99999999999", 0x00FFFFFF}, {L"16777217", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseActionFlags(c.text), c.flags) << c.text;
}

TEST(ListParameters, Placeholders) {
    const struct {
        const wchar_t* url;
        const wchar_t* expected;
    } cases[] = {
        {L"http://h/list.aspx?p={param}", L"http://h/list.aspx?p=abc"},
        {L"http://h/[param1]/{param1}/[param2]/{param2}/[param]/{param}", L"http://h/one/one/two/two/abc/abc"},
        {L"http://h/{param}{param}", L"http://h/abcabc"},
        {L"http://h/{PARAM}/[param3]", L"http://h/{PARAM}/[param3]"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ApplyListParametersWith(c.url, L"one", L"two", L"abc"), c.expected) << c.url;
    // Replaced in order: a value that looks like a later placeholder is replaced again.
    EXPECT_EQ(ApplyListParametersWith(L"[param1]", L"{param}", L"", L"x"), L"x");

    WriteSetting(L"UPDATEINFO", L"Parameter1", L"p1");
    WriteSetting(L"UPDATEINFO", L"Parameter2", L"p2");
    WriteSetting(L"UPDATEINFO", L"Parameter", L"abc");
    EXPECT_EQ(ApplyListParameters(L"http://h/list.aspx?a={param1}&b=[param2]&p={param}"),
              L"http://h/list.aspx?a=p1&b=p2&p=abc");
    for (const wchar_t* k : {L"Parameter1", L"Parameter2", L"Parameter"}) GlobalValues::Remove(SettingCacheKey(L"UPDATEINFO", k));
}

TEST(RunTask, PackAndUnpack) {
    // Values without a nine keep the plain form that installed lists compare.
    EXPECT_EQ(PackRunTask({L"a.exe", L"-s", L"1", L"k"}), L"a.exe9-s919k");
    EXPECT_EQ(PackRunTask({L"a.exe", L"", L"", L""}), L"a.exe999");
    const RunTask cases[] = {
        {L"a.exe", L"-s", L"1", L"k"},
        {L"a.exe", L"", L"", L""},
        {L"", L"", L"", L""},
        {L"C:\\tools9\\setup.exe", L"/q /n 99", L"1", L"k9"},
        {L"setup.exe", L"", L"9", L""},
        {L"{app}\\x.exe", L"-a -b", L"true", L"key with blanks"},
    };
    for (const RunTask& t : cases) {
        RunTask back = UnpackRunTask(PackRunTask(t));
        EXPECT_EQ(back.path, t.path);
        EXPECT_EQ(back.param, t.param);
        EXPECT_EQ(back.wait, t.wait);
        EXPECT_EQ(back.key, t.key);
    }
    RunTask plain = UnpackRunTask(L"a.exe9-s919k");
    EXPECT_EQ(plain.path + L"|" + plain.param + L"|" + plain.wait + L"|" + plain.key, L"a.exe|-s|1|k");
    RunTask shortText = UnpackRunTask(L"a.exe");
    EXPECT_EQ(shortText.path + L"|" + shortText.param + L"|" + shortText.wait + L"|" + shortText.key, L"a.exe|||");
}

// Every spelling of every field, alone and behind the spellings before it.
TEST_F(UpdateListTest, EverySpellingOfEveryField) {
    const struct {
        std::vector<const wchar_t*> spellings;
        std::function<std::wstring(const updatefileinfo&)> field;
    } fields[] = {
        {{L"oper", L"Oper", L"OPER", L"do", L"Do", L"DO", L"Action", L"action", L"ACTION", L"Activity", L"activity",
          L"ACTIVITY"},
         [](const updatefileinfo& r) { return std::to_wstring(r.action); }},
        {{L"path", L"Path", L"File", L"file", L"Name", L"name"}, [](const updatefileinfo& r) { return r.path; }},
        {{L"URL", L"url", L"Url"}, [](const updatefileinfo& r) { return r.url; }},
        {{L"shortcut", L"ShortCut", L"SHORTCUT"}, [](const updatefileinfo& r) { return r.shortcut; }},
        {{L"shortcuticon", L"shorticon", L"ShortCutIcon", L"SHORTCUTICON", L"SHORTICON"},
         [](const updatefileinfo& r) { return r.shortcuticon; }},
        {{L"iconindex", L"ICONINDEX", L"IconIndex", L"shortcuticonindex", L"SHORTCUTICONINDEX"},
         [](const updatefileinfo& r) { return r.iconindex; }},
        {{L"DesName", L"desname", L"dstname", L"DstName"}, [](const updatefileinfo& r) { return r.desname; }},
        {{L"ver", L"Ver", L"md5", L"MD5"}, [](const updatefileinfo& r) { return r.ver; }},
    };
    for (const auto& f : fields) {
        for (size_t i = 0; i < f.spellings.size(); ++i) {
            // The value given under spelling i (a number, so that actions read it too) wins over
            // every later spelling; an empty earlier spelling does not count.
            std::wstring attrs;
            for (size_t j = 0; j < f.spellings.size(); ++j) {
                std::wstring value = j < i ? L"" : std::to_wstring(10 + j);
                attrs += mv::Format(L" %s=\"%s\"", f.spellings[j], value.c_str());
            }
            // A fixed path keeps the records apart from the url rule; the path field brings its own.
            std::wstring path = f.spellings[0] == std::wstring(L"path") ? L"" : L" path=\"p.dll\"";
            RecordArray records;
            std::wstring xml = L"<update><file" + path + attrs + L"/></update>";
            ASSERT_TRUE(LoadUpdateList(Write(xml), records, true)) << xml;
            ASSERT_EQ(records.size(), 1u) << xml;
            EXPECT_EQ(f.field(records[0]), std::to_wstring(10 + i)) << xml;
        }
    }
}

TEST_F(UpdateListTest, DocumentsAndTheirRecords) {
    const struct {
        const char* what;
        const wchar_t* xml;
        std::vector<updatefileinfo> expected;
    } cases[] = {
        {"nested files under an updates root, in document order",
         L"<updates><group><file path='a.dll' ver='1'/><!-- note -->text<sub><file path='b\\c.dll' ver='2'/></sub></group>"
         L"<file path='d.exe' ver='3' oper='run'/></updates>",
         {File(L"a.dll", L"1"), File(L"b\\c.dll", L"2"), File(L"d.exe", L"3", ActionRun)}},
        {"the mirovane root", L"<mirovane><file path='a.dll'/></mirovane>", {File(L"a.dll")}},
        {"an update root", L"<update><x><y><z><file name='deep.dll'/></z></y></x></update>", {File(L"deep.dll")}},
        {"duplicate paths: the first wins", L"<update><file name='a.dll' ver='1'/><file path='A.DLL' ver='2'/></update>",
         {File(L"a.dll", L"1")}},
        {"an https path becomes the url",
         L"<update><file path='https://h.example/dir/setup.exe' url='http://other/x.exe'/></update>",
         {File(L"setup.exe", L"", 0, L"https://h.example/dir/setup.exe")}},
        {"an http path in capitals", L"<update><file path='HTTP://h/a/b.dll'/></update>",
         {File(L"b.dll", L"", 0, L"HTTP://h/a/b.dll")}},
        {"a url ending in / names its directory", L"<update><file url='http://h.example/dir/'/></update>",
         {File(L"dir", L"", 0, L"http://h.example/dir/")}},
        {"a url with backslashes", L"<update><file url='http:\\\\h\\a\\b.txt'/></update>",
         {File(L"b.txt", L"", 0, L"http:\\\\h\\a\\b.txt")}},
        {"path kept when a url is given", L"<update><file path='x.dll' url='http://h/y.dll'/></update>",
         {File(L"x.dll", L"", 0, L"http://h/y.dll")}},
        {"record clean-up on append", L"<update><file path=' bin|tool.dll._.zip ' ver=' 1.0.A '/></update>",
         {File(L"bin\\tool.dll", L"1.0.a")}},
        {"action texts",
         L"<update><file path='1' oper='run,del'/><file path='2' do='12'/><file path='3' Action='boot'/>"
         L"<file path='4' activity='exe,del'/><file path='5' oper='copy'/></update>",
         {File(L"1", L"", 3), File(L"2", L"", 12), File(L"3", L"", 8), File(L"4", L"", 3), File(L"5")}},
        {"run packing", L"<update><run path='a.exe' param='-s' wait='1' key='k'/></update>",
         {Special(RunTaskRecord, L"a.exe9-s919k")}},
        {"run with empty values", L"<update><run path='a.exe'/></update>", {Special(RunTaskRecord, L"a.exe999")}},
        {"run with a nine in its path",
         L"<update><run path='C:\\tools9\\setup.exe' param='/q' wait='1' key=''/></update>",
         {Special(RunTaskRecord, L"\x0001" L"C:\\tools9\\setup.exe\x0001/q\x0001" L"1\x0001")}},
        {"description line ends", L"<update><description>line one\nline two</description></update>",
         {Special(DescriptionRecord, L"line one\r\nline two")}},
        {"runs and descriptions are never duplicates",
         L"<update><run path='a.exe'/><run path='a.exe'/><description>d</description><description>d</description>"
         L"<file path='a.exe999'/></update>",
         {Special(RunTaskRecord, L"a.exe999"), Special(RunTaskRecord, L"a.exe999"), Special(DescriptionRecord, L"d"),
          Special(DescriptionRecord, L"d"), File(L"a.exe999")}},
        {"names are case-sensitive", L"<update><File path='a'/><FILE path='b'/><Run path='c'/></update>", {}},
        {"list-wide elements give no records", L"<update><guid>g</guid><fileurl>u</fileurl></update>", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> expected;
        for (const auto& r : c.expected) expected.push_back(Show(r));
        EXPECT_EQ(Read(c.xml), expected) << c.what;
    }
}

TEST_F(UpdateListTest, ListsInOtherEncodings) {
    // UTF-16 with its byte-order mark, and an 8-bit code page named by the declaration.
    // (Wine's parser knows no Chinese code pages, so those cannot be shown here.)
    std::string utf16 = "\xFF\xFE";
    for (wchar_t c : std::wstring(L"<?xml version='1.0' encoding='utf-16'?><update><file path='\x4E2D.dll'/></update>"))
        utf16 += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    const struct {
        std::string bytes;
        std::wstring path;
    } cases[] = {
        {utf16, L"\x4E2D.dll"},
        {"<?xml version='1.0' encoding='iso-8859-1'?><update><file path='caf\xE9.dll'/></update>", L"caf\xE9.dll"},
    };
    const std::wstring path = dir_.File(L"encoded.xml");
    for (const auto& c : cases) {
        ASSERT_TRUE(mv::WriteFileBytes(path, c.bytes));
        RecordArray records;
        EXPECT_TRUE(LoadUpdateList(path, records, true)) << c.bytes;
        EXPECT_EQ(ShowAll(records), std::vector<std::wstring>{Show(File(c.path))});
    }
}

TEST_F(UpdateListTest, NotAListLeavesTheArrayAlone) {
    const struct {
        const char* what;
        const wchar_t* xml;
        const char* logged;
    } cases[] = {
        {"none of the three roots", L"<list><file path='a.dll'/></list>", "has no update, updates or mirovane root"},
        {"a root of another case", L"<Update><file path='a.dll'/></Update>", "has no update, updates or mirovane root"},
        {"malformed", L"<update><file path='a.dll'></update>", "cannot be read: line"},
        {"empty", L"", "cannot be read"},
    };
    for (const auto& c : cases) {
        RecordArray records{File(L"kept.dll")};
        EXPECT_FALSE(LoadUpdateList(Write(c.xml), records, true)) << c.what;
        EXPECT_EQ(ShowAll(records), std::vector<std::wstring>{Show(File(L"kept.dll"))}) << c.what;
        EXPECT_NE(Log().find(c.logged), std::string::npos) << c.what << "\n" << Log();
        DeleteFileW(dir_.File(L"test.log").c_str());
    }
    // The installed list before the first update: nothing to say.
    RecordArray records;
    EXPECT_FALSE(LoadUpdateList(dir_.File(L"missing.xml"), records, false));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(Log(), "");
}

TEST_F(UpdateListTest, AppendsToWhatTheArrayHolds) {
    RecordArray records{File(L"first.dll")};
    ASSERT_TRUE(LoadUpdateList(Write(L"<update><file path='second.dll'/></update>"), records, true));
    EXPECT_EQ(ShowAll(records), (std::vector<std::wstring>{Show(File(L"first.dll")), Show(File(L"second.dll"))}));
}

TEST_F(UpdateListTest, SizeAndZipHintsOnlyWhenPlainlyGiven) {
    RecordArray records;
    ASSERT_TRUE(LoadUpdateList(Write(L"<update>"
                                     L"<file path='a' size='1234' zip='1'/><file path='b' size=' 0 ' zip='0'/>"
                                     L"<file path='c'/><file path='d' size='-5' zip='yes'/>"
                                     L"<file path='e' size='12ab' zip='2'/><file path='f' size='9999999999999999'/>"
                                     L"</update>"),
                               records, true));
    const std::vector<std::pair<long long, int>> expected = {{1234, 1}, {0, 0}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].size, expected[i].first) << i;
        EXPECT_EQ(records[i].zipped, expected[i].second) << i;
    }
}

TEST_F(UpdateListTest, PatchesOfAFileAndWhichAreLeftOut) {
    const std::wstring a(64, L'a'), b(64, L'b'), c(64, L'c');
    RecordArray records;
    ASSERT_TRUE(LoadUpdateList(
        Write(L"<update><file path='x.dll' ver='1' sha256='" + c + L"'>"
              L"<patch from='" + a + L"' path='x.dll.aaaa.zpatch' size='10' sha256='" + b + L"'/>"
              // Upper-case digits are the same hash; an address may be a full url.
              L"<patch from='" + std::wstring(64, L'B') + L"' url='http://h/p' sha256='" + a + L"'/>"
              // Left out: a short base hash, no address, no hash of its own.
              L"<patch from='abc' path='p' sha256='" + a + L"'/>"
              L"<patch from='" + a + L"' sha256='" + a + L"'/>"
              L"<patch from='" + a + L"' path='p'/>"
              L"</file><file path='y.dll'/></update>"),
        records, true));
    // The patch element is no file of its own.
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[0].patches.size(), 2u);
    EXPECT_EQ(records[0].patches[0].from, a);
    EXPECT_EQ(records[0].patches[0].path, L"x.dll.aaaa.zpatch");
    EXPECT_EQ(records[0].patches[0].size, 10);
    EXPECT_EQ(records[0].patches[0].sha256, b);
    EXPECT_EQ(records[0].patches[1].from, b);
    EXPECT_EQ(records[0].patches[1].url, L"http://h/p");
    EXPECT_EQ(records[0].patches[1].size, -1);
    EXPECT_TRUE(records[1].patches.empty());
}

TEST_F(UpdateListTest, GuidIsKeptAndRemovedFromTheDocument) {
    // The remote list is read from the bytes that were fetched: its guid goes to the list's
    // values and out of the bytes that will be installed, which read back to the same records.
    DownLoadList list;
    std::string bytes = "<?xml version='1.0' encoding='utf-8'?><update><guid>AB-12</guid><file path='\xE4\xB8\xAD.dll' ver='1'/></update>";
    RecordArray first;
    ASSERT_TRUE(LoadRemoteListBytes(bytes, L"remote", first, list));
    EXPECT_EQ(list.listGuid, L"AB-12");
    EXPECT_EQ(bytes.find("guid"), std::string::npos) << bytes;
    RecordArray second;
    ASSERT_TRUE(LoadRemoteListBytes(bytes, L"remote", second, list));
    EXPECT_EQ(ShowAll(second), ShowAll(first));
    EXPECT_EQ(ShowAll(second), std::vector<std::wstring>{Show(File(L"\x4E2D.dll", L"1"))});

    // The installed list loses its guid on disk too, but names no identifier.
    list.listGuid = L"remote";
    const std::wstring installed = Write(L"<update><guid>old</guid><file path='a.dll'/></update>", L"mirovane.xml");
    RecordArray records;
    ASSERT_TRUE(LoadUpdateList(installed, records, false, &list));
    EXPECT_EQ(list.listGuid, L"remote");
    std::string onDisk;
    ASSERT_TRUE(mv::ReadFileBytes(installed, onDisk));
    EXPECT_EQ(onDisk.find("guid"), std::string::npos) << onDisk;
}

TEST_F(UpdateListTest, FileUrlOnlyFromTheRemoteList) {
    DownLoadList list;
    RecordArray remote, installed;
    ASSERT_TRUE(LoadUpdateList(Write(L"<update><fileurl>http://cdn/x/{filename}</fileurl></update>"), remote, true, &list));
    EXPECT_EQ(list.fileUrlPattern, L"http://cdn/x/{filename}");
    // Reading the installed list afterwards neither takes its fileurl nor resets the pattern.
    ASSERT_TRUE(LoadUpdateList(Write(L"<update><fileurl>http://old/{filename}</fileurl></update>", L"mirovane.xml"),
                               installed, false, &list));
    EXPECT_EQ(list.fileUrlPattern, L"http://cdn/x/{filename}");
    // A remote list without one restores the default.
    ASSERT_TRUE(LoadUpdateList(Write(L"<update/>"), remote, true, &list));
    EXPECT_EQ(list.fileUrlPattern, L"{listurl-base}/{filename}");
}

TEST_F(UpdateListTest, DomFailureAndItsMessage) {
    // Without COM on the thread the document cannot be created: a DOM error, not "not a list".
    const std::wstring path = Write(L"<update><file path='a.dll'/></update>");
    ListRead result = ListRead::Ok;
    RecordArray records;
    std::thread([&] {
        UpdateListValues values;
        result = ReadUpdateList(path, records, true, values);
    }).join();
    EXPECT_EQ(result, ListRead::DomError);
    EXPECT_TRUE(records.empty());

    WriteSetting(L"UPDATEINFO", L"ListURL", L"http://127.0.0.1/list.xml");
    ResetListSource();
    EXPECT_EQ(ListErrorBoxText(path, true), L"http://127.0.0.1/list.xml\r\nThe xml file format error!");
    EXPECT_EQ(ListErrorBoxText(path, false), path + L"\r\nThe xml file format error!");
    EXPECT_EQ(ListErrorBoxText(dir_.File(L"missing.xml"), false), L"");
    GlobalValues::Remove(SettingCacheKey(L"UPDATEINFO", L"ListURL"));
    ResetListSource();
}

// --- hostile documents

TEST(XmlSafety, DeclarationsFoundInEveryEncoding) {
    auto utf16 = [](const std::wstring& s, bool bigEndian) {
        std::string out;
        for (wchar_t c : s) {
            char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
            out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        return out;
    };
    const std::wstring dtd = L"<?xml version='1.0'?><!DOCTYPE update [<!ENTITY x 'y'>]><update/>";
    const std::wstring plain = L"<?xml version='1.0' encoding='gb2312'?><update><file path='a'/></update>";
    const struct {
        const char* what;
        std::string bytes;
        bool unsafe;
    } cases[] = {
        {"utf-8", mv::ToUtf8(dtd), true},
        {"utf-8 with a mark", "\xEF\xBB\xBF" + mv::ToUtf8(dtd), true},
        {"lower case", "<!doctype update><update/>", true},
        {"utf-16le", "\xFF\xFE" + utf16(dtd, false), true},
        {"utf-16be", "\xFE\xFF" + utf16(dtd, true), true},
        {"utf-16le without a mark", utf16(dtd, false), true},
        {"utf-32le", std::string("\xFF\xFE\x00\x00<\x00\x00\x00", 8), true},
        {"utf-32be without a mark", std::string("\x00\x00\x00<", 4), true},
        {"ebcdic", "\x4C\x6F\xA7\x94", true},
        {"utf-7", "<?xml version='1.0' encoding='UTF-7'?>+ADw-update/+AD4-", true},
        {"a plain list", mv::ToUtf8(plain), false},
        {"a plain utf-16 list", "\xFF\xFE" + utf16(plain, false), false},
        {"utf-7 named later in the text", "<?xml version='1.0'?><update><description>utf-7</description></update>", false},
        {"empty", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(mv::XmlBytesUnsafe(c.bytes), c.unsafe) << c.what;
    EXPECT_TRUE(mv::XmlTextUnsafe(dtd));
    EXPECT_FALSE(mv::XmlTextUnsafe(plain));
}

TEST_F(UpdateListTest, FileIsParsedFromTheBytesThatWereChecked) {
    // The parser never opens the path itself: it would read another file than the one checked,
    // here because it takes "%41" for an escaped "A" (another process could swap the file too).
    const std::wstring checked = Write(L"<update><file path='checked.dll'/></update>", L"list%41.xml");
    Write(L"<update><file path='swapped.dll'/></update>", L"listA.xml");
    RecordArray records;
    EXPECT_TRUE(LoadUpdateList(checked, records, true));
    EXPECT_EQ(ShowAll(records), std::vector<std::wstring>{Show(File(L"checked.dll"))});

    mv::ComInit com;
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    ASSERT_TRUE(doc);
    // Encodings are still taken from the bytes, as from a file.
    ASSERT_TRUE(mv::WriteFileBytes(dir_.File(L"utf16.xml"), std::string("\xFF\xFE<\0a\0>\0\xE9\0<\0/\0a\0>\0", 18)));
    ASSERT_EQ(mv::LoadXmlFile(doc.get(), dir_.File(L"utf16.xml")), mv::XmlLoad::Ok);
    mv::ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.put()), S_OK);
    EXPECT_EQ(mv::NodeText(root.get()), L"\u00E9");
    std::wstring error;
    EXPECT_EQ(mv::LoadXmlFile(doc.get(), dir_.File(L"missing.xml"), &error), mv::XmlLoad::Failed);
    EXPECT_EQ(error, L"error 2");
}

using HostileListTest = UpdateListTest;

TEST_F(HostileListTest, DoctypesAreRefusedUnread) {
    // A loopback listener stands in for any server an entity could name: it must see no connection.
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    int len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::wstring server = mv::Format(L"http://127.0.0.1:%d/e.dtd", ntohs(addr.sin_port));

    ASSERT_TRUE(mv::WriteFileBytes(dir_.File(L"secret.txt"), "TOPSECRET"));
    std::wstring secretUrl = L"file:///" + mv::ReplaceAll(dir_.File(L"secret.txt"), L"\\", L"/");
    std::wstring bomb = L"<!DOCTYPE update [<!ENTITY a 'aaaaaaaaaa'>";
    for (int i = 1; i < 10; ++i) bomb += mv::Format(L"<!ENTITY %c '&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;'>", 'a' + i,
                                                     'a' + i - 1, 'a' + i - 1, 'a' + i - 1, 'a' + i - 1, 'a' + i - 1,
                                                     'a' + i - 1, 'a' + i - 1, 'a' + i - 1, 'a' + i - 1, 'a' + i - 1);
    bomb += L"]><update><description>&j;</description><file path='a.dll'/></update>";
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"external entity naming a local file",
         mv::ToUtf8(L"<?xml version='1.0'?><!DOCTYPE update [<!ENTITY x SYSTEM 'secret.txt'>]>"
                    L"<update><description>&x;</description><file path='a.dll'/></update>")},
        {"external entity naming a local file by url",
         mv::ToUtf8(L"<!DOCTYPE update [<!ENTITY x SYSTEM '" + secretUrl +
                    L"'>]><update><file path='&x;'/></update>")},
        {"external entity naming a server",
         mv::ToUtf8(L"<!DOCTYPE update [<!ENTITY x SYSTEM '" + server + L"'>]><update><file path='&x;'/></update>")},
        {"external document type on a server",
         mv::ToUtf8(L"<!DOCTYPE update SYSTEM '" + server + L"'><update><file path='a.dll'/></update>")},
        {"nested entity expansion", mv::ToUtf8(bomb)},
        {"internal entity",
         mv::ToUtf8(L"<!DOCTYPE update [<!ENTITY x 'boom'>]><update><description>&x;</description></update>")},
        {"internal entity in utf-16",
         [] {
             std::wstring t = L"<!DOCTYPE update [<!ENTITY x 'boom'>]><update><file path='&x;'/></update>";
             std::string out = "\xFF\xFE";
             for (wchar_t c : t) out += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
             return out;
         }()},
    };
    for (const auto& c : cases) {
        const std::wstring path = dir_.File(L"hostile.xml");
        ASSERT_TRUE(mv::WriteFileBytes(path, c.bytes));
        RecordArray records{File(L"kept.dll")};
        EXPECT_FALSE(LoadUpdateList(path, records, true)) << c.what;
        EXPECT_EQ(ShowAll(records), std::vector<std::wstring>{Show(File(L"kept.dll"))}) << c.what;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval none{0, 200000};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &none), 0) << "a connection reached the listener";
    closesocket(listener);
    WSACleanup();

    const std::string log = Log();
    EXPECT_NE(log.find("holds a document type declaration and is not read"), std::string::npos) << log;
    EXPECT_EQ(log.find("TOPSECRET"), std::string::npos);
}

TEST_F(HostileListTest, DeepNestingIsRefused) {
    const int depth = 100000;
    std::string xml = "<update>";
    for (int i = 0; i < depth; ++i) xml += "<a>";
    xml += "<file path='deep.dll'/>";
    for (int i = 0; i < depth; ++i) xml += "</a>";
    xml += "</update>";
    const std::wstring path = dir_.File(L"deep.xml");
    ASSERT_TRUE(mv::WriteFileBytes(path, xml));
    RecordArray records{File(L"kept.dll")};
    // The document factory limits the depth: such a list is refused like any malformed one.
    EXPECT_FALSE(LoadUpdateList(path, records, true));
    EXPECT_EQ(ShowAll(records), std::vector<std::wstring>{Show(File(L"kept.dll"))});
}

}  // namespace
