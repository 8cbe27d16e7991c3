// Directory trees.
#pragma once
#include <string>

// Deletes a directory with everything in it (read-only attributes cleared first). Links
// (junctions, symbolic links) are removed as links, never entered, also when `dir` is one.
// True when the directory no longer exists.
bool DeleteTree(const std::wstring& dir);
