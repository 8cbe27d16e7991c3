#include "config/settings_reference.h"

#include <gtest/gtest.h>

#include <set>

#include "app/command_line.h"
#include "updatelist/download_list.h"
#include "util/text.h"

TEST(SettingsReference, SyntaxProblemsTable) {
    struct Case {
        const wchar_t* text;
        std::vector<int> lines;  // the lines reported
    } cases[] = {
        {L"", {}},
        {L"[Mirovane]\r\nLog=inst.log\r\n", {}},
        {L"\xFEFF; comment\r\n# comment\r\n\r\n[A]\r\nk=\r\n  k2 = v = w \r\n", {}},
        {L"hello world", {1}},
        {L"hello world\r\n", {1}},
        {L"Log=inst.log\r\n[Mirovane]\r\n", {1}},            // a key before any section
        {L"[Mirovane]\r\nhello\r\n=value\r\nk=v\r\n", {2, 3}},
        {L"[Mirovane\r\nk=v\r\n", {1, 2}},                    // an open header opens no section
        {L"[]\r\n", {1}},
        {L"[UPDATEINFO]\nListURL=http://a/b.xml\n", {}},      // LF line ends
    };
    for (const Case& c : cases) {
        std::vector<int> got;
        for (const SettingsProblem& p : SettingsSyntaxProblems(c.text)) got.push_back(p.line);
        EXPECT_EQ(got, c.lines) << c.text;
    }
}

TEST(SettingsReference, UnknownSettingsAndValues) {
    const std::wstring text =
        L"[mirovane]\r\nlog=a.log\r\nLanguage=x.lan\r\nLogg=typo\r\n"
        L"[UPDATEINFO]\r\nListURL = \"http://a/l.xml\" \r\nListURL=second\r\n"
        L"[APPLICATION]\r\nName=Tiny Note\r\nKelvorbookId=1\r\nListURL=wrong section\r\n"
        L"[UpdateEvent]\r\nUpdateCopyOk=hook.exe\r\nUpdateStartup=s.exe\r\nUpdateSometime=x\r\n"
        L"[Nowhere]\r\nLog=x\r\n";
    EXPECT_EQ(UnknownSettings(text),
              (std::vector<std::wstring>{L"[mirovane] Logg", L"[APPLICATION] KelvorbookId", L"[APPLICATION] ListURL",
                                         L"[UpdateEvent] UpdateSometime", L"[Nowhere] Log"}));
    EXPECT_EQ(SettingValueIn(text, L"Mirovane", L"Log"), L"a.log");
    EXPECT_EQ(SettingValueIn(text, L"UPDATEINFO", L"ListURL"), L"http://a/l.xml");  // first one, quotes dropped
    EXPECT_EQ(SettingValueIn(text, L"APPLICATION", L"Name"), L"Tiny Note");
    EXPECT_EQ(SettingValueIn(text, L"APPLICATION", L"Ver"), L"");
}

TEST(SettingsReference, StageKeysAreTheStageNames) {
    std::vector<std::wstring> names;
    for (int stage = 0; stage <= UpdateEnd; ++stage) names.push_back(UpdateStageName(stage));
    EXPECT_EQ(StageHookKeys(), names);
}

TEST(SettingsReference, TableIsWellFormed) {
    std::set<std::wstring> seen;
    for (const SettingInfo& s : SettingsReference()) {
        const std::wstring id = mv::ToLower(std::wstring(s.section) + L"/" + s.key);
        EXPECT_TRUE(seen.insert(id).second) << id;  // each key once per section
        EXPECT_TRUE(*s.type && *s.fallback && *s.range && *s.meaning) << id;
        EXPECT_EQ(std::wstring(s.meaning).find(L'|'), std::wstring::npos) << id;
    }
    const std::wstring markdown = SettingsReferenceMarkdown();
    for (const std::wstring& section : SettingSections())
        EXPECT_NE(markdown.find(L"**[" + section + L"]**"), std::wstring::npos) << section;
}

TEST(SettingsReference, StarterFileIsWhatEmbedAccepts) {
    const std::wstring text = StarterSettingsText();
    EXPECT_TRUE(SettingsSyntaxProblems(text).empty());
    EXPECT_TRUE(UnknownSettings(text).empty());
    // The application directory is named by start-up's raw-text rule: it must agree with the reader.
    EXPECT_EQ(ReadEmbeddedSetting(text, L"[APPLICATION]", L"Name"), SettingValueIn(text, L"APPLICATION", L"Name"));
    EXPECT_EQ(SettingValueIn(text, L"APPLICATION", L"Name"), L"Your Product");
    // English by default: no language chosen, the log named.
    EXPECT_EQ(SettingValueIn(text, L"Mirovane", L"Langage"), L"");
    EXPECT_EQ(SettingValueIn(text, L"Mirovane", L"Language"), L"");
    EXPECT_EQ(SettingValueIn(text, L"Mirovane", L"Log"), L"inst.log");
    for (const wchar_t* key : {L"ListURL", L"MainListURL"})
        EXPECT_EQ(SettingValueIn(text, L"UPDATEINFO", key).rfind(L"http://", 0), 0u) << key;
    // Every setting of the settings file is there, set or as a comment; the updater's own are not.
    for (const SettingInfo& s : SettingsReference()) {
        const std::wstring key = s.key[0] == L'<' ? L"UpdateCheckRemoteOk" : s.key;
        const bool present = text.find(L"\r\n" + key + L"=") != std::wstring::npos ||
                             text.find(L"\r\n;" + key + L"=") != std::wstring::npos;
        EXPECT_EQ(present, s.place == SettingPlace::SettingsFile) << s.key;
    }
    EXPECT_EQ(text.find(L"\n\n"), std::wstring::npos);  // CR LF throughout
}
