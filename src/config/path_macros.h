// Folder and directory macros in paths ({app}, {sys}, {desktop}, ...).
#pragma once
#include <string>

std::wstring ExpandPathMacros(const std::wstring& text);
// Expands, then makes a relative result absolute against `baseDir`.
std::wstring ResolvePath(const std::wstring& baseDir, const std::wstring& text);
