// Directory trees.
#pragma once
#include <string>

// Deletes a directory with everything in it (read-only attributes cleared first).
// True when the directory no longer exists.
bool DeleteTree(const std::wstring& dir);
