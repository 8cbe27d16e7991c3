#include "updatelist/download_list.h"

#include <gtest/gtest.h>

#include <thread>

#include "../temp_dir.h"
#include "util/file_replace.h"
#include "util/files.h"
#include "util/text.h"

namespace {

updatefileinfo Rec(const std::wstring& path, int action = 0, const std::wstring& desname = L"") {
    updatefileinfo r;
    r.path = path;
    r.action = action;
    r.desname = desname;
    return r;
}

std::vector<std::wstring> Paths(const RecordArray& records) {
    std::vector<std::wstring> out;
    for (const auto& r : records) out.push_back(r.path);
    return out;
}

TEST(AddFileRecord, CleansVersionAndPath) {
    const struct {
        const wchar_t *path, *ver, *wantPath, *wantVer;
    } cases[] = {
        {L"bin|tool.dll._.zip", L" 1.0.A ", L"bin\\tool.dll", L"1.0.a"},
        {L"  a.dll\t", L"ABCDEF0123", L"a.dll", L"abcdef0123"},
        {L"x._.zip._.zip", L"", L"x", L""},
        {L"a|b|c", L"\r\n9\r\n", L"a\\b\\c", L"9"},
        {L"", L"", L"", L""},
    };
    for (const auto& c : cases) {
        updatefileinfo r = Rec(c.path);
        r.ver = c.ver;
        r.url = L" http://h/A ";
        RecordArray records;
        AddFileRecord(r, records);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].path, c.wantPath) << c.path;
        EXPECT_EQ(records[0].ver, c.wantVer) << c.ver;
        EXPECT_EQ(records[0].url, L" http://h/A ");  // other fields as given
    }
}

TEST(AddFileRecord, ThreadsAppendEveryRecord) {
    RecordArray records;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&records, t] {
            for (int i = 0; i < 5000; ++i) AddFileRecord(Rec(mv::Format(L"%d-%d", t, i)), records);
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(records.size(), 20000u);
}

TEST(SeparateSpecialRecords, DescriptionsAndTasks) {
    DownLoadList list;
    list.runTasks = {L"earlier"};
    list.description = L"replaced";
    list.records = {Rec(L"A", DescriptionRecord, L"A"), Rec(L"a.dll"), Rec(L"runA", RunTaskRecord, L"runA"),
                    Rec(L"B\\r\\nnext\\nlast", DescriptionRecord, L"B\\r\\nnext\\nlast"), Rec(L"b.dll", ActionRun),
                    Rec(L"runB", RunTaskRecord, L"runB")};
    SeparateSpecialRecords(list);
    EXPECT_EQ(Paths(list.records), (std::vector<std::wstring>{L"a.dll", L"b.dll"}));
    EXPECT_EQ(list.runTasks, (std::vector<std::wstring>{L"earlier", L"runB", L"runA"}));
    EXPECT_EQ(list.description, L"A\r\nB\r\nnext\r\nlast\r\n");

    DownLoadList none;
    none.records = {Rec(L"a.dll")};
    SeparateSpecialRecords(none);
    EXPECT_EQ(none.description, L"");
    EXPECT_EQ(Paths(none.records), std::vector<std::wstring>{L"a.dll"});
}

TEST(RecordArray, Operations) {
    RecordArray a;
    EXPECT_EQ(RecordCount(a), 0);
    EXPECT_EQ(RecordAt(a, 0), nullptr);
    AppendRecord(a, Rec(L"0"));
    AppendRecord(a, Rec(L"1"));
    AppendRecord(a, Rec(L"2"));
    EXPECT_EQ(RecordCount(a), 3);
    ASSERT_NE(RecordAt(a, 2), nullptr);
    EXPECT_EQ(RecordAt(a, 2)->path, L"2");
    EXPECT_EQ(RecordAt(a, -1), nullptr);
    EXPECT_EQ(RecordAt(a, 3), nullptr);
    EXPECT_EQ(Paths(a), (std::vector<std::wstring>{L"0", L"1", L"2"}));
    RemoveAllRecords(a);
    EXPECT_EQ(RecordCount(a), 0);
}

// --- saved form

// Builds expected bytes and remembers where every 32-bit count or length sits.
struct Bytes {
    std::string data;
    std::vector<size_t> countAt;
    Bytes& I(int32_t v) {
        countAt.push_back(data.size());
        return Raw(v);
    }
    Bytes& Raw(int32_t v) {
        for (int i = 0; i < 4; ++i) data += static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
        return *this;
    }
    Bytes& S(const std::wstring& s) {
        I(static_cast<int32_t>(s.size()));
        for (wchar_t c : s) data += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        return *this;
    }
};

DownLoadList FullList() {
    DownLoadList list;
    list.properties = {{L"k1", L"v1"}, {L"k2", L""}, {L"", L"no key"}, {L"!-end------", L"terminator as a key"}};
    list.runTasks = {L"b.exe999", L"a.exe9-s919k"};
    list.description = L"Line \x4E2D\r\n";
    list.listUrlBase = L"http://127.0.0.1/u";
    list.workDir = L"C:\\t\\0A1B-2C3D4E";
    list.listGuid = L"G";
    list.stage = UpdateDownloadOk;
    updatefileinfo r1{L"http://h/a.dll", L"a.dll", L"{app}\\a.dll;{sys}\\a.dll", L"1.0", L"spare", L"{desktop}\\A",
                      L"a.ico", L"2", ActionRun | ActionReboot, L""};
    list.records = {r1, Rec(L"t.exe9", RunTaskRecord, L"t.exe9")};
    // Not part of the saved form.
    list.remoteVersion = L"9.9";
    list.subListUrls = {L"http://h/x.xml"};
    list.statusWindow = reinterpret_cast<HWND>(0x1234);
    list.rebootNeeded = 1;
    return list;
}

Bytes FullListBytes() {
    Bytes b;
    b.S(L"k1").S(L"v1").S(L"k2").S(L"").S(L"!-end------");
    b.I(2).S(L"b.exe999").S(L"a.exe9-s919k");
    b.S(L"Line \x4E2D\r\n").S(L"http://127.0.0.1/u").S(L"{listurl-base}/{filename}").S(L"C:\\t\\0A1B-2C3D4E").S(L"G");
    b.Raw(6);
    b.I(2);
    for (const wchar_t* s : {L"http://h/a.dll", L"a.dll", L"{app}\\a.dll;{sys}\\a.dll", L"1.0", L"spare", L"{desktop}\\A",
                             L"a.ico", L"2"})
        b.S(s);
    b.Raw(9);
    for (const wchar_t* s : {L"", L"t.exe9", L"t.exe9", L"", L"", L"", L"", L""}) b.S(s);
    b.Raw(0x7E000000);
    return b;
}

TEST(SavedList, EmptyListByteForByte) {
    const std::string expected = std::string("\x0B\0\0\0", 4) + std::string("!\0-\0e\0n\0d\0-\0-\0-\0-\0-\0-\0", 22) +
                                 std::string(4, '\0') +                   // no run tasks
                                 std::string(8, '\0') +                   // description, listUrlBase
                                 std::string("\x19\0\0\0", 4) +           // fileUrlPattern, 25 units
                                 [] {
                                     std::string s;
                                     for (char c : std::string("{listurl-base}/{filename}")) s += std::string{c, '\0'};
                                     return s;
                                 }() +
                                 std::string(8, '\0') +                   // workDir, listGuid
                                 std::string(4, '\0') +                   // stage
                                 std::string(4, '\0');                    // no records
    EXPECT_EQ(SerializeList(DownLoadList()), expected);
}

TEST(SavedList, FullListByteForByte) {
    EXPECT_EQ(SerializeList(FullList()), FullListBytes().data);
}

TEST(SavedList, RoundTripThroughAFile) {
    TempDir dir;
    const std::wstring path = dir.File(L"0A1B-2C3D4E.lst");
    ASSERT_TRUE(mv::WriteFileBytes(path, "an older list"));
    const DownLoadList original = FullList();
    ASSERT_TRUE(SaveListFrom(original, path));
    std::string onDisk;
    ASSERT_TRUE(mv::ReadFileBytes(path, onDisk));
    EXPECT_EQ(onDisk, FullListBytes().data);
    // Only the list itself: no temporary name is left beside it.
    EXPECT_EQ(mv::RemoveLeftTempNames(path), 0);

    DownLoadList back;
    back.records = {Rec(L"already.dll")};
    back.properties = {{L"mine", L"x"}};
    ASSERT_TRUE(LoadListInto(back, path));
    EXPECT_EQ(Paths(back.records), (std::vector<std::wstring>{L"already.dll", L"a.dll", L"t.exe9"}));
    EXPECT_EQ(back.properties, (std::map<std::wstring, std::wstring>{{L"k1", L"v1"}, {L"k2", L""}, {L"mine", L"x"}}));
    EXPECT_EQ(back.runTasks, original.runTasks);
    EXPECT_EQ(back.description, original.description);
    EXPECT_EQ(back.stage, original.stage);
    EXPECT_EQ(back.remoteVersion, L"");
    EXPECT_TRUE(back.subListUrls.empty());
    EXPECT_EQ(back.rebootNeeded, 0);
    back.records.erase(back.records.begin());
    back.properties.erase(L"mine");
    EXPECT_EQ(SerializeList(back), FullListBytes().data);

    EXPECT_FALSE(SaveListFrom(original, dir.File(L"no such dir\\x.lst")));
    DownLoadList untouched;
    EXPECT_FALSE(LoadListInto(untouched, dir.File(L"missing.lst")));
    EXPECT_EQ(SerializeList(untouched), SerializeList(DownLoadList()));
}

TEST(SavedList, TheProcessListSavesAndLoads) {
    TempDir dir;
    DownLoadList saved = TheDownLoadList();
    TheDownLoadList() = FullList();
    ASSERT_TRUE(SaveList(dir.File(L"x.lst")));
    TheDownLoadList() = DownLoadList();
    ASSERT_TRUE(LoadList(dir.File(L"x.lst")));
    EXPECT_EQ(SerializeList(TheDownLoadList()), FullListBytes().data);
    TheDownLoadList() = saved;
}

TEST(SavedList, DamagedFormsFailCleanly) {
    const Bytes good = FullListBytes();
    std::vector<std::pair<std::string, std::string>> damaged;
    for (size_t n = 0; n < good.data.size(); ++n) damaged.emplace_back(mv::ToUtf8(mv::Format(L"cut at %zu", n)), good.data.substr(0, n));
    for (size_t at : good.countAt) {
        int32_t v = 0;
        memcpy(&v, good.data.data() + at, 4);
        for (int32_t bad : {-1, INT32_MIN, INT32_MAX, 0x40000000, 0x20000000, v + 1, v - 1}) {
            if (bad == v) continue;
            std::string d = good.data;
            memcpy(d.data() + at, &bad, 4);
            damaged.emplace_back(mv::ToUtf8(mv::Format(L"count at %zu set to %ld", at, static_cast<long>(bad))), d);
        }
    }
    damaged.emplace_back("trailing byte", good.data + "x");
    damaged.emplace_back("no terminator", Bytes().S(L"k").S(L"v").data);
    for (int32_t stage : {-1, 14, 1000}) {
        Bytes b;
        b.S(L"!-end------").I(0).S(L"").S(L"").S(L"").S(L"").S(L"").Raw(stage).I(0);
        damaged.emplace_back("stage " + std::to_string(stage), b.data);
    }

    TempDir dir;
    const std::wstring path = dir.File(L"damaged.lst");
    for (const auto& [what, bytes] : damaged) {
        DownLoadList list = FullList();
        const std::string before = SerializeList(list);
        EXPECT_FALSE(DeserializeList(bytes, list)) << what;
        EXPECT_EQ(SerializeList(list), before) << what;
        EXPECT_EQ(list.remoteVersion, L"9.9") << what;
    }
    // And through the file, for a few of them.
    for (size_t i = 0; i < damaged.size(); i += 37) {
        ASSERT_TRUE(mv::WriteFileBytes(path, damaged[i].second));
        DownLoadList list;
        EXPECT_FALSE(LoadListInto(list, path)) << damaged[i].first;
        EXPECT_TRUE(list.records.empty());
    }
}

}  // namespace

TEST(SavedList, FileHashTravelsWithItsRecord) {
    DownLoadList list;
    list.records = {Rec(L"a.dll"), Rec(L"b.dll"), Rec(L"c.dll")};
    list.records[1].sha256 = std::wstring(64, L'f');
    list.properties = {{L"listsequence", L"7"}};
    DownLoadList back;
    ASSERT_TRUE(DeserializeList(SerializeList(list), back));
    ASSERT_EQ(back.records.size(), 3u);
    EXPECT_EQ(back.records[0].sha256, L"");
    EXPECT_EQ(back.records[1].sha256, std::wstring(64, L'f'));
    EXPECT_EQ(back.properties, (std::map<std::wstring, std::wstring>{{L"listsequence", L"7"}}));
    // A hash naming a record that is not there means the form is not ours.
    Bytes b;
    b.S(L"sha256|3").S(L"ff").S(L"!-end------").I(0).S(L"").S(L"").S(L"").S(L"").S(L"").Raw(0).I(0);
    DownLoadList other;
    EXPECT_FALSE(DeserializeList(b.data, other));
}

// A saved form of no records with these properties (in this order): whether it loads.
bool LoadsWithProperties(const std::vector<std::pair<std::wstring, std::wstring>>& properties) {
    Bytes b;
    for (const auto& [k, v] : properties) b.S(k).S(v);
    b.S(L"!-end------").I(0).S(L"").S(L"").S(L"").S(L"").S(L"").Raw(0).I(0);
    DownLoadList other;
    return DeserializeList(b.data, other);
}

TEST(SavedList, TheListDocumentTravelsWithTheList) {
    // The elevated copy installs the document the check verified, so it must come back byte
    // for byte: any byte value, an odd length, none at all.
    for (const std::string& document : {std::string("<update/>"), std::string("\xFF\xFE<\0u\0/\0>\0\x80", 11), std::string()}) {
        DownLoadList list;
        list.records = {Rec(L"a.dll")};
        list.document = document;
        DownLoadList back;
        ASSERT_TRUE(DeserializeList(SerializeList(list), back));
        EXPECT_EQ(back.document, document);
        EXPECT_TRUE(back.properties.empty());
    }
    // A document whose size does not fit its bytes, or half of the pair, means the form is not ours.
    const std::vector<std::vector<std::pair<std::wstring, std::wstring>>> damaged = {
        {{L"document|bytes", L"ab"}, {L"document|size", L"5"}},
        {{L"document|bytes", L"ab"}, {L"document|size", L"x"}},
        {{L"document|bytes", L"ab"}},
        {{L"document|size", L"0"}},
    };
    for (const auto& properties : damaged) EXPECT_FALSE(LoadsWithProperties(properties)) << properties.size();
}

TEST(SavedList, SignedSourcesTravelByteForByte) {
    // A relaunched copy verifies these again, so bytes and signature must come back exactly.
    DownLoadList list;
    list.records = {Rec(L"a.dll")};
    list.signedSources = {{mv::ListRole::Update, L"http://h/list.xml", std::string("<update>\x80\0</update>", 19), "c2ln\r\n"},
                          {mv::ListRole::Main, L"http://h/main.xml", "<update/>", "bWFpbg=="}};
    DownLoadList back;
    ASSERT_TRUE(DeserializeList(SerializeList(list), back));
    ASSERT_EQ(back.signedSources.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(back.signedSources[i].role, list.signedSources[i].role) << i;
        EXPECT_EQ(back.signedSources[i].url, list.signedSources[i].url) << i;
        EXPECT_EQ(back.signedSources[i].bytes, list.signedSources[i].bytes) << i;
        EXPECT_EQ(back.signedSources[i].signature, list.signedSources[i].signature) << i;
    }
    EXPECT_TRUE(back.properties.empty());
    // A source with a part missing or an unknown role means the form is not ours.
    const std::vector<std::vector<std::pair<std::wstring, std::wstring>>> damaged = {
        {{L"source|0|role", L"update"}, {L"source|0|url", L"u"}, {L"source|0|bytes", L"ab"}, {L"source|0|size", L"3"}},
        {{L"source|0|role", L"boss"}, {L"source|0|url", L"u"}, {L"source|0|bytes", L"ab"}, {L"source|0|size", L"3"},
         {L"source|0|sig", L"s"}},
        {{L"source|0|role", L"main"}, {L"source|0|url", L"u"}, {L"source|0|bytes", L"ab"}, {L"source|0|size", L"9"},
         {L"source|0|sig", L"s"}},
    };
    for (const auto& properties : damaged) EXPECT_FALSE(LoadsWithProperties(properties)) << properties.size();
}
