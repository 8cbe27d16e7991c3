// Text helpers shared by every module. All strings are UTF-16 (std::wstring);
// conversions to and from 8-bit text happen only through the functions here.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace mv {

std::wstring ToLower(std::wstring_view s);
std::wstring Trim(std::wstring_view s);
std::wstring TrimRight(std::wstring_view s);
// Replaces every occurrence of `from` (non-empty) by `to`, left to right, without rescanning.
std::wstring ReplaceAll(std::wstring_view s, std::wstring_view from, std::wstring_view to);
// Removes every occurrence of `what`.
std::wstring RemoveAll(std::wstring_view s, std::wstring_view what);
// One pass that turns every "\\" pair into "\" (so "\\\\\\" becomes "\\").
std::wstring ReduceBackslashes(std::wstring_view s);
std::vector<std::wstring> Split(std::wstring_view s, wchar_t sep);
// True when the lower-cased `s` ends in the lower-cased `suffix` (suffix found before the
// end marker at a position greater than 0, so an exact match of the whole text is false).
bool EndsWithNoCase(std::wstring_view s, std::wstring_view suffix);
// Decimal text to integer the way the C runtime does it: leading blanks, sign, digits; 0 otherwise.
long ParseLong(std::wstring_view s);
std::wstring Format(const wchar_t* fmt, ...);

// 8-bit <-> UTF-16 through a Windows code page (CP_ACP for the thread's ANSI page).
std::wstring FromCodePage(std::string_view bytes, unsigned codePage);
std::string ToCodePage(std::wstring_view text, unsigned codePage);
std::wstring FromUtf8(std::string_view bytes);
std::string ToUtf8(std::wstring_view text);

}  // namespace mv
