// Folder and directory macros in paths ({app}, {sys}, {desktop}, ...).
// Thread-safe; reads the shell's folders and the application directory on every call.
#pragma once
#include <functional>
#include <string>

// Expands every folder macro, then the first directory macro that occurs ({win}, {syswow64},
// {sys}, {target}, {path}, {app}: only one of them per call). Matching is case-sensitive.
std::wstring ExpandPathMacros(const std::wstring& text);
// Expands, then makes a result without a drive absolute against `baseDir`, with "/" turned
// into "\" and runs of backslashes collapsed.
std::wstring ResolvePath(const std::wstring& baseDir, const std::wstring& text);

// The folders the macros stand for, so that the rule can be exercised without the shell.
struct PathMacroFolders {
    std::function<std::wstring(int csidl)> specialFolder;  // the shell's path for a CSIDL number
    std::wstring windowsDir;
    std::wstring systemDir;
    std::function<bool(const std::wstring&)> dirExists;
    std::wstring appDir;
};
std::wstring ExpandPathMacrosWith(const std::wstring& text, const PathMacroFolders& folders);
