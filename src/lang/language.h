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
    // Parses .lan text given as bytes in `codePage`; `fromFile` marks its entries as a
    // language file's (a vendor's), not a built-in translation's.
    void LoadLanguageText(std::string_view bytes, unsigned codePage, bool fromFile = false);
    // The translation of `text` in `section`, or `text` itself when there is none, it is empty
    // or its printf conversions are not those of `text` (SameFormatConversions).
    std::wstring Translate(const std::wstring& section, const std::wstring& text);
    // The translation a language file (not a built-in resource) gives `text`, if any, under
    // the same rules as Translate.
    std::optional<std::wstring> FileTranslation(const std::wstring& section, const std::wstring& text);
    // Translates the window's caption and the texts of its direct children.
    void TranslateDialog(HWND window, const std::wstring& section);

private:
    void ParseLine(const std::wstring& line, std::optional<std::wstring>& section, bool fromFile);

    std::mutex mutex_;
    std::map<std::wstring, std::map<std::wstring, std::wstring>> sections_;
    std::map<std::wstring, std::map<std::wstring, std::wstring>> fileEntries_;  // what files said
};

// True when `translation` has the printf conversions of `key`, in the same order: the same
// conversion characters, length modifiers and "*" arguments ("%%" is text; flags, widths and
// precisions may differ). A translation that fails this is not used: it is a format string.
bool SameFormatConversions(std::wstring_view key, std::wstring_view translation);

CLanguage& TheLanguage();
// Shorthand for TheLanguage().Translate.
std::wstring Translate(const std::wstring& section, const std::wstring& text);

// Caption of the updater's question and message boxes: a language file's translation of
// "Mirovane" ([MAIN] Mirovane=...) when one was loaded, else [APPLICATION] Name, else the
// built-in translation of "Mirovane". Users see the product they installed, not the updater.
std::wstring BoxCaption();
// The rule of BoxCaption over its three inputs.
std::wstring BoxCaptionFrom(const std::optional<std::wstring>& fileTranslation, const std::wstring& name,
                            const std::wstring& builtIn);

// Code page a built-in language resource is written in (0 for an unknown number).
unsigned LanguageResourceCodePage(int resourceNumber);
