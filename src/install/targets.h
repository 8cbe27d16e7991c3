// The install targets and shortcut paths of a record.
// (The same rule as the download engine's target-list expansion, which install will call
// once both live on one branch.)
#pragma once
#include <string>
#include <vector>

#include "updatelist/download_list.h"

// Targets of a record: `desname` split at ";", "," and "|"; an item with a "\" or "/" is
// resolved against the application directory, a bare name replaces the file name of the
// default target (application directory + path). No target given: the default target.
std::vector<std::wstring> InstallTargets(const updatefileinfo& record);
// Shortcut paths of a record by the same rule over `shortcut`; empty when none is given.
std::vector<std::wstring> ShortcutPaths(const updatefileinfo& record);
