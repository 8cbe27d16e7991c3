// The install targets and shortcut paths of a record: one rule for the download engine,
// the check and the install step. Thread-safe; reads the application directory and the
// shell's folders (path macros) on every call.
#pragma once
#include <string>
#include <vector>

#include "updatelist/download_list.h"

// Appends the paths of `listText` to `out` and returns out's size. The list is split at
// ";", "," and "|"; an item with a "\" or "/" is resolved against the application directory,
// a bare name replaces the file name of the record's default target (application directory +
// `path`). Every "/" becomes "\". A path already added by this call is not added again.
// An empty list adds nothing.
int ExpandTargetList(const std::wstring& path, const std::wstring& listText, std::vector<std::wstring>& out);
// The record's default target: `path` resolved against the application directory.
std::wstring DefaultTarget(const std::wstring& path);
// Targets of a record by that rule over `desname`; the default target when none results.
std::vector<std::wstring> InstallTargets(const updatefileinfo& record);
// Shortcut paths of a record by that rule over `shortcut`; empty when none is given.
std::vector<std::wstring> ShortcutPaths(const updatefileinfo& record);
