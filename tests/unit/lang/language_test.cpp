#include "lang/language.h"

#include <gtest/gtest.h>

#include "../ansi_bytes.h"
#include "../temp_dir.h"
#include "util/files.h"
#include "util/text.h"

namespace {

std::wstring TempFile(const wchar_t* name, const std::string& bytes) {
    static TempDir dir;
    std::wstring path = dir.File(name);
    mv::WriteFileBytes(path, bytes);
    return path;
}

}  // namespace

TEST(Language, LineRules) {
    CLanguage lang;
    lang.LoadLanguageText(
        "Cancel=before any header\r\n"
        "[TRYICON]\r\n"
        "Cancel=Abbrechen\r\n"
        "[MAIN]\n"
        "; Cancel=comment\n"
        "' Cancel=comment\n"
        "//Cancel=comment\n"
        "\\\\Cancel=comment\n"
        "a=b\n"
        "ab=c\n"
        "Line one\\nline two=Zeile eins\\nZeile zwei\n"
        "Tab\\there=Tab\\thier\n"
        "Empty=\n"
        "No equals sign here\n"
        "Two = spaces =  x=y   \t\r\n"
        "\n"
        "   \n"
        "[TRYICON]\n"
        "Update=Aktualisieren\n",
        1252);
    struct Case {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* out;
    } cases[] = {
        {L"TRYICON", L"Cancel", L"Abbrechen"},
        {L"MAIN", L"Cancel", L"Cancel"},                  // sections are kept apart
        {L"TRYICON", L"Update", L"Aktualisieren"},        // a section continues after a second header
        {L"MAIN", L"a", L"a"},                            // three characters: ignored
        {L"MAIN", L"ab", L"c"},                           // four: an entry
        {L"MAIN", L"Line one\nline two", L"Zeile eins\nZeile zwei"},
        {L"MAIN", L"Tab\there", L"Tab\thier"},
        {L"MAIN", L"Empty", L"Empty"},                    // empty translation: English stays
        {L"MAIN", L"No equals sign here", L"No equals sign here"},
        // the key ends at the first "=" and is not trimmed; trailing blanks of the line are cut
        {L"MAIN", L"Two ", L" spaces =  x=y"},
        {L"MAIN", L"Two", L"Two"},
        {L"MAIN", L"Unknown", L"Unknown"},
        {L"OTHER", L"Cancel", L"Cancel"},
    };
    for (const Case& c : cases) EXPECT_EQ(lang.Translate(c.section, c.key), c.out) << c.section << L"/" << c.key;
}

TEST(Language, SameFormatConversionsRule) {
    const struct {
        const wchar_t* key;
        const wchar_t* translation;
        bool same;
    } cases[] = {
        {L"", L"", true},
        {L"plain", L"schlicht", true},
        {L"%s", L"%s", true},
        {L"a %s b %d", L"x %s y %d z", true},
        {L"%s", L"%-20.5s", true},            // flags, width, precision
        {L"%s %d", L"%d %s", false},          // order
        {L"%s", L"%s %s", false},             // one more
        {L"%s %s", L"%s", false},             // one fewer
        {L"%lu", L"%u", false},               // length
        {L"%lld", L"%ld", false},
        {L"%I64d", L"%lld", false},
        {L"%*d", L"%d", false},               // "*" takes an argument
        {L"%.*s", L"%.*s", true},
        {L"%s", L"%n", false},
        {L"100%%", L"100 %%", true},          // "%%" is text
        {L"%%s", L"%s", false},
        {L"100%", L"100%", true},             // the same broken text on both sides
        {L"done", L"fertig 100%", false},     // a lone "%" is a broken conversion
        {L"%s", L"%y", false},                // unknown conversion
        {L"%s", L"%", false},
        {L"%ls and %hs", L"%ls und %hs", true},
        {L"%x", L"%X", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SameFormatConversions(c.key, c.translation), c.same) << c.key << L" | " << c.translation;
}

TEST(Language, TranslationKeepsTheConversionsOfItsKey) {
    // Translations are used as printf formats: one with other conversions would read arguments
    // that were never passed.
    CLanguage lang;
    lang.LoadLanguageText(
        "[MAIN]\n"
        "Run mode [%s], host window [%lu]=Modus [%s], Fenster [%lu]\n"
        "Copy [%s] to [%s]=Kopiere [%-20s] nach [%s]\n"
        "Got %d of %d=%d von %d erhalten\n"
        "Check %s=Pr\xFC" "fe %s %s\n"
        "Saved [%s]=Gespeichert %n\n"
        "File %s, size %d=Gr\xF6\xDF" "e %d, Datei %s\n"
        "Window [%lu]=Fenster [%d]\n"
        "Done=Fertig 100%\n"
        "Done 100%%=Fertig 100%%\n"
        "Name %s=Name %s%%\n"
        "Plain=Schlicht %s\n"
        "Width %*d=Breite %d\n",
        1252);
    const struct {
        const wchar_t* key;
        const wchar_t* out;
    } cases[] = {
        {L"Run mode [%s], host window [%lu]", L"Modus [%s], Fenster [%lu]"},
        {L"Copy [%s] to [%s]", L"Kopiere [%-20s] nach [%s]"},  // flags and width take no argument of their own
        {L"Got %d of %d", L"%d von %d erhalten"},
        {L"Check %s", L"Check %s"},                        // one conversion too many
        {L"Saved [%s]", L"Saved [%s]"},                    // %n writes through its argument
        {L"File %s, size %d", L"File %s, size %d"},        // same conversions, other order
        {L"Window [%lu]", L"Window [%lu]"},                // other length
        {L"Done", L"Done"},                                // a lone "%" is no text of ours
        {L"Done 100%%", L"Fertig 100%%"},
        {L"Name %s", L"Name %s%%"},                        // "%%" is text, not a conversion
        {L"Plain", L"Plain"},
        {L"Width %*d", L"Width %*d"},                      // "*" takes an argument
    };
    for (const auto& c : cases) EXPECT_EQ(lang.Translate(L"MAIN", c.key), c.out) << c.key;
}

TEST(Language, LongLinesAreReadInPieces) {
    // 1023 bytes make one line; the rest of a longer line is read as a line of its own.
    std::string key(1000, 'k');
    std::string text = "[MAIN]\n" + key + "=" + std::string(22, 'v') + "tail=piece\n";
    CLanguage lang;
    lang.LoadLanguageText(text, 1252);
    EXPECT_EQ(lang.Translate(L"MAIN", std::wstring(1000, L'k')), std::wstring(22, L'v'));
    EXPECT_EQ(lang.Translate(L"MAIN", L"tail"), L"piece");
}

TEST(Language, FilesInAnsiCodePageLaterFileWins) {
    const std::wstring first = TempFile(L"-1.lan", AnsiBytes("[MAIN]\r\nUpdate=Premi\xE8re\r\nExit=Fin\r\n",
                                                             "[MAIN]\r\nUpdate=Premi\xA8\xA8re\r\nExit=Fin\r\n"));
    const std::wstring second =
        TempFile(L"-2.lan", AnsiBytes("[MAIN]\r\nUpdate=Deuxi\xE8me\r\n", "[MAIN]\r\nUpdate=Deuxi\xA8\xA8me\r\n"));
    CLanguage lang;
    EXPECT_TRUE(lang.LoadLanguageFile(first));
    EXPECT_TRUE(lang.LoadLanguageFile(second));
    EXPECT_FALSE(lang.LoadLanguageFile(first + L".missing"));
    EXPECT_EQ(lang.Translate(L"MAIN", L"Update"), L"Deuxi\u00E8me");
    EXPECT_EQ(lang.Translate(L"MAIN", L"Exit"), L"Fin");
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());
}

TEST(Language, BuiltInResourcesReadRightOnAnyCodePage) {
    // The table holds both the GBK (150) and the Big5 (147) resource: read through the
    // machine's ANSI code page, one of them comes out wrong whatever that code page is.
    struct Case {
        int resource;
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* out;
    } cases[] = {
        {150, L"MAIN", L"Download", L"下载"},
        {150, L"TRYICON", L"Show check window", L"显示检查窗口"},
        {150, L"MAIN", L"mirovane.lan", L"mirovanecn.lan"},
        {150, L"MAIN", L"Run mode [%s], host window [%lu]", L"运行模式 [%s]，宿主窗口 [%lu]"},
        {150, L"MAIN", L"Find main program [%s] not closed, Close it now?\n%s",
         L"发现主程序 [%s] 没有关闭，现在关闭它吗？\n%s"},
        {147, L"MAIN", L"Download", L"下載"},
        {147, L"TRYICON", L"Show check window", L"顯示檢查視窗"},
        {147, L"MAIN", L"mirovane.lan", L"mirovanebig.lan"},
        {147, L"MAIN", L"unzip ok[%s]", L"解壓縮成功[%s]"},  // 功 ends in the byte of "\"
    };
    for (const Case& c : cases) {
        CLanguage lang;
        EXPECT_TRUE(lang.LoadLanguageResource(c.resource));
        EXPECT_EQ(lang.Translate(c.section, c.key), c.out) << c.resource << L" " << c.key;
    }
    CLanguage none;
    EXPECT_TRUE(none.LoadLanguageResource(999));
    EXPECT_EQ(none.Translate(L"MAIN", L"Download"), L"Download");
}

TEST(Language, TranslateDialogCaptionAndDirectChildren) {
    CLanguage lang;
    lang.LoadLanguageText("[MAIN]\nInstall .net framework=Installer .NET\nDownload=T\xE9l\xE9" "charger\nExit=Quitter\n", 1252);
    HWND dialog = CreateWindowW(L"STATIC", L"Install .net framework", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                nullptr, nullptr, nullptr);
    ASSERT_TRUE(dialog);
    HWND button = CreateWindowW(L"BUTTON", L"Download", WS_CHILD, 0, 0, 80, 20, dialog, nullptr, nullptr, nullptr);
    HWND group = CreateWindowW(L"STATIC", L"Other", WS_CHILD, 0, 30, 80, 60, dialog, nullptr, nullptr, nullptr);
    HWND grandchild = CreateWindowW(L"BUTTON", L"Exit", WS_CHILD, 0, 0, 80, 20, group, nullptr, nullptr, nullptr);
    lang.TranslateDialog(dialog, L"MAIN");
    auto text = [](HWND h) {
        wchar_t buf[100] = {};
        GetWindowTextW(h, buf, 100);
        return std::wstring(buf);
    };
    EXPECT_EQ(text(dialog), L"Installer .NET");
    EXPECT_EQ(text(button), L"Télécharger");
    EXPECT_EQ(text(group), L"Other");
    EXPECT_EQ(text(grandchild), L"Exit");  // grandchildren are not visited
    lang.TranslateDialog(dialog, L"");      // no section: nothing happens
    EXPECT_EQ(text(dialog), L"Installer .NET");
    DestroyWindow(dialog);
}

TEST(Language, FileTranslationsAreKeptApartFromBuiltIn) {
    CLanguage lang;
    lang.LoadLanguageText("[MAIN]\r\nMirovane=Built-in caption\r\nRetry=Nochmal\r\n", 1252);
    EXPECT_FALSE(lang.FileTranslation(L"MAIN", L"Mirovane"));
    lang.LoadLanguageText("[MAIN]\r\nMirovane=Vendor caption\r\nCount %d=Zahl %s\r\n", 1252, true);
    EXPECT_EQ(lang.FileTranslation(L"MAIN", L"Mirovane"), std::optional<std::wstring>(L"Vendor caption"));
    EXPECT_EQ(lang.Translate(L"MAIN", L"Mirovane"), L"Vendor caption");
    EXPECT_FALSE(lang.FileTranslation(L"MAIN", L"Retry"));     // only the built-in said it
    EXPECT_FALSE(lang.FileTranslation(L"MAIN", L"Count %d"));  // a translation that is refused
    EXPECT_FALSE(lang.FileTranslation(L"TRYICON", L"Mirovane"));
}

TEST(Language, BoxCaptionRule) {
    struct Case {
        std::optional<std::wstring> file;
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {std::nullopt, L"TinyNote", L"TinyNote"},
        {std::nullopt, L"  TinyNote ", L"TinyNote"},
        {std::nullopt, L"", L"Mirovane built-in"},
        {std::nullopt, L"  ", L"Mirovane built-in"},
        {L"TinyNote Updater", L"TinyNote", L"TinyNote Updater"},  // the vendor's language file wins
        {L"TinyNote Updater", L"", L"TinyNote Updater"},
        {L" ", L"TinyNote", L"TinyNote"},
    };
    for (const Case& c : cases) EXPECT_EQ(BoxCaptionFrom(c.file, c.name, L"Mirovane built-in"), c.expected) << c.name;
}
