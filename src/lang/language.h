// The translator: section name -> (English text -> translated text). One object per process;
// every member is safe to call from any thread.
#pragma once
#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class CLanguage {
public:
    // Parses the built-in resource of type "LANGUAGE" with that number. The built-in
    // translations are decoded with their own code page (150: 936, 147: 950), not the
    // thread's, so they read right on any system. Always true.
    bool LoadLanguageResource(int resourceNumber);
    // Parses a .lan file in the thread's ANSI code page; false when it cannot be opened.
    bool LoadLanguageFile(const std::wstring& path);
    // Parses .lan text given as bytes in `codePage`.
    void LoadLanguageText(std::string_view bytes, unsigned codePage);
    // The translation of `text` in `section`, or `text` itself when there is none, it is empty
    // or its printf conversions are not those of `text` (SameFormatConversions).
    std::wstring Translate(const std::wstring& section, const std::wstring& text);
    // Translates the window's caption and the texts of its direct children.
    void TranslateDialog(HWND window, const std::wstring& section);

private:
    void ParseLine(const std::wstring& line, std::optional<std::wstring>& section);

    std::mutex mutex_;
    std::map<std::wstring, std::map<std::wstring, std::wstring>> sections_;
};

// True when `translation` has the printf conversions of `key`, in the same order: the same
// conversion characters, length modifiers and "*" arguments ("%%" is text; flags, widths and
// precisions may differ). A translation that fails this is not used: it is a format string.
bool SameFormatConversions(std::wstring_view key, std::wstring_view translation);

CLanguage& TheLanguage();
// Shorthand for TheLanguage().Translate.
std::wstring Translate(const std::wstring& section, const std::wstring& text);

// Code page a built-in language resource is written in (0 for an unknown number).
unsigned LanguageResourceCodePage(int resourceNumber);
