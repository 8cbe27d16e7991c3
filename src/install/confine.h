// Where the install code may write or delete. An update list comes from a server, so every
// path a record or a task names is checked before anything touches it: it must lie strictly
// inside the application directory or inside one of the folders the path macros stand for,
// and it must never be one of those folders (or a parent of one, or a drive root) itself.
#pragma once
#include <string>
#include <vector>

// Full, normalised form of a path ("..", "." and "/" resolved; no trailing backslash).
std::wstring NormalizePath(const std::wstring& path);
// True when `path` lies strictly below `dir` (case-insensitive, on a component boundary).
// Both must be normalised.
bool PathIsBelow(const std::wstring& path, const std::wstring& dir);
bool PathEqualsNoCase(const std::wstring& a, const std::wstring& b);

// The rule over normalised paths: below one of `roots`, and neither a root, a parent of a
// root, nor a drive root.
bool MayTouchPathWith(const std::wstring& path, const std::vector<std::wstring>& roots);
// The roots of this machine: the application directory, the folders of the path macros,
// the Windows and system directories.
std::vector<std::wstring> ConfinementRoots();
// The rule for this machine; a refused path is logged.
bool MayTouchPath(const std::wstring& path);
