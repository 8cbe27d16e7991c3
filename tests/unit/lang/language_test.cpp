#include "lang/language.h"

#include <gtest/gtest.h>

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
    const std::wstring first = TempFile(L"-1.lan", mv::ToCodePage(L"[MAIN]\r\nUpdate=Première\r\nExit=Fin\r\n", CP_ACP));
    const std::wstring second = TempFile(L"-2.lan", mv::ToCodePage(L"[MAIN]\r\nUpdate=Deuxième\r\n", CP_ACP));
    CLanguage lang;
    EXPECT_TRUE(lang.LoadLanguageFile(first));
    EXPECT_TRUE(lang.LoadLanguageFile(second));
    EXPECT_FALSE(lang.LoadLanguageFile(first + L".missing"));
    // Accented letters survive the ANSI code page only where it has them (1252, 936, not 1251).
    const std::wstring deuxieme = mv::FromCodePage(mv::ToCodePage(L"Deuxième", CP_ACP), CP_ACP);
    EXPECT_EQ(lang.Translate(L"MAIN", L"Update"), deuxieme);
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
