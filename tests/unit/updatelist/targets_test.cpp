#include "updatelist/targets.h"

#include <gtest/gtest.h>

#include "util/files.h"

namespace {

using Paths = std::vector<std::wstring>;

class TargetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = GetAppDir();
        SetAppDir(L"C:\\app\\");
    }
    void TearDown() override { SetAppDir(saved_); }
    std::wstring saved_;
};

// One table for the install targets (desname) and the shortcut paths (shortcut): both go
// through the same expansion, and differ only in what an empty list gives.
TEST_F(TargetsTest, InstallTargetsAndShortcutPaths) {
    struct Case {
        const wchar_t* path;
        const wchar_t* list;
        Paths targets;    // InstallTargets with the list as desname
        Paths shortcuts;  // ShortcutPaths with the list as shortcut
    };
    const Case cases[] = {
        // Nothing listed: the default target, and no shortcut.
        {L"a\\b\\x.dll", L"", {L"C:\\app\\a\\b\\x.dll"}, {}},
        {L"a/b/x.dll", L"", {L"C:\\app\\a\\b\\x.dll"}, {}},
        // A bare name replaces the file name; an item with a separator is a path of its own.
        {L"a\\b\\x.dll", L"y.dll;C:\\t\\z.dll", {L"C:\\app\\a\\b\\y.dll", L"C:\\t\\z.dll"},
         {L"C:\\app\\a\\b\\y.dll", L"C:\\t\\z.dll"}},
        {L"x.dll", L"sub\\y.dll", {L"C:\\app\\sub\\y.dll"}, {L"C:\\app\\sub\\y.dll"}},
        {L"x.dll", L"sub/y.dll", {L"C:\\app\\sub\\y.dll"}, {L"C:\\app\\sub\\y.dll"}},
        // ",", "|" and ";" all separate; a path is added once; empty items are skipped.
        {L"a\\b\\x.dll", L"y.dll,y.dll|y.dll", {L"C:\\app\\a\\b\\y.dll"}, {L"C:\\app\\a\\b\\y.dll"}},
        {L"x.dll", L";;,|", {L"C:\\app\\x.dll"}, {}},
        // Only the last component is replaced, even when a directory has the same name.
        {L"x.dll\\x.dll", L"n.dll", {L"C:\\app\\x.dll\\n.dll"}, {L"C:\\app\\x.dll\\n.dll"}},
        // A drive path written with "/" is the same path as with "\": a bare name replaces
        // its file name, and the two spellings are one target.
        {L"C:/dir/f.txt", L"", {L"C:\\dir\\f.txt"}, {}},
        {L"C:/dir/f.txt", L"g.txt", {L"C:\\dir\\g.txt"}, {L"C:\\dir\\g.txt"}},
        {L"x.dll", L"C:/dir/f.txt;C:\\dir\\f.txt", {L"C:\\dir\\f.txt"}, {L"C:\\dir\\f.txt"}},
        {L"x.dll", L"D:/a/b.lnk", {L"D:\\a\\b.lnk"}, {L"D:\\a\\b.lnk"}},
    };
    for (const Case& c : cases) {
        updatefileinfo r;
        r.path = c.path;
        r.desname = c.list;
        EXPECT_EQ(InstallTargets(r), c.targets) << c.path << " | " << c.list;
        updatefileinfo s;
        s.path = c.path;
        s.shortcut = c.list;
        EXPECT_EQ(ShortcutPaths(s), c.shortcuts) << c.path << " | " << c.list;
    }
}

TEST_F(TargetsTest, ExpandTargetListAppendsAndCounts) {
    Paths out{L"keep"};
    EXPECT_EQ(ExpandTargetList(L"x.dll", L"", out), 1);  // empty list: nothing added
    EXPECT_EQ(ExpandTargetList(L"a\\x.dll", L"y.dll|y.dll", out), 2);
    // Earlier calls' paths are not this call's: the same path is added again.
    EXPECT_EQ(ExpandTargetList(L"a\\x.dll", L"y.dll", out), 3);
    EXPECT_EQ(out, (Paths{L"keep", L"C:\\app\\a\\y.dll", L"C:\\app\\a\\y.dll"}));
}

}  // namespace
