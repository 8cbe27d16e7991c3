// Binary patches: a new file rebuilt from the installed one and a zstd frame that refers to
// it ("<file>.<base hash>.zpatch", written by mirovane-pack --previous). Any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The largest window a patch may use (2^27 = 128 MiB): the publisher writes no patch that
// needs more, and the updater refuses one that asks for more, which bounds its memory.
constexpr int kMaxPatchWindowLog = 27;

// Rebuilds a file: decodes `patch` with `base` (the installed file's bytes) as its reference
// and writes the result to `outPath` (created or replaced) in blocks. Memory stays bounded: a
// patch whose window is larger than 2^kMaxPatchWindowLog bytes is refused, and so is a
// result of more than `maxBytes` bytes, before it is written. On failure `outPath` is removed
// and `why` says what went wrong.
bool ApplyPatch(std::string_view base, std::string_view patch, const std::wstring& outPath, uint64_t maxBytes,
                std::wstring& why);
