// The translator: section name -> (English text -> translated text).
#pragma once
#include <windows.h>

#include <string>

class CLanguage {
public:
    bool LoadLanguageResource(int resourceNumber);
    bool LoadLanguageFile(const std::wstring& path);
    std::wstring Translate(const std::wstring& section, const std::wstring& text);
    void TranslateDialog(HWND window, const std::wstring& section);
};

CLanguage& TheLanguage();
// Shorthand for TheLanguage().Translate.
std::wstring Translate(const std::wstring& section, const std::wstring& text);
