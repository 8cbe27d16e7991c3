#include "config/path_macros.h"

// Until path macros land texts pass unchanged.
std::wstring ExpandPathMacros(const std::wstring& text) { return text; }
std::wstring ResolvePath(const std::wstring& baseDir, const std::wstring& text) {
    if (text.find(L':') != std::wstring::npos && text.find(L':') >= 1) return text;
    return baseDir + L"\\" + text;
}
