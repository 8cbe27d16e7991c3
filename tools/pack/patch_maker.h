// The publisher's side of binary patches: a zstd frame that rebuilds a new file from an older
// one (download/delta.h applies it).
#pragma once
#include <string>

// Writes into `patch` a zstd frame that decodes, with `base` as its reference, to `target`:
// long-distance matching over a window that covers both files. False (with `why`) when the
// window would exceed 2^kMaxPatchWindowLog bytes or the encoder fails.
bool MakePatch(const std::string& base, const std::string& target, std::string& patch, std::wstring& why);
