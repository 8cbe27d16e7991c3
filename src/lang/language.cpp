#include "lang/language.h"

// Until the translator lands every text stays English.
bool CLanguage::LoadLanguageResource(int) { return true; }
bool CLanguage::LoadLanguageFile(const std::wstring&) { return false; }
std::wstring CLanguage::Translate(const std::wstring&, const std::wstring& text) { return text; }
void CLanguage::TranslateDialog(HWND, const std::wstring&) {}

CLanguage& TheLanguage() {
    static CLanguage lang;
    return lang;
}

std::wstring Translate(const std::wstring& section, const std::wstring& text) {
    return TheLanguage().Translate(section, text);
}
