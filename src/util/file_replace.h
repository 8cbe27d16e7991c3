// Replacing a file whole: the new content goes to a private temporary name beside the
// target, is flushed to disk and is then renamed over the target (write-through), so that
// readers, a kill and a power cut find the old file or the new one, never a part.
// Any thread; UTF-16 paths. Nothing here logs: a failure is described in `failure` (which
// call, which path, the Win32 code) for the caller's log line, and GetLastError holds it.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include <string_view>

namespace mv {

// A name beside `path` that no other writer uses, in this process or another:
// "<path>.<what>-<process id>-<counter>.tmp".
std::wstring PrivateTempNameBeside(const std::wstring& path, const wchar_t* what);
// True when `name` (a full path) is such a name of `path`, whoever made it.
bool IsPrivateTempNameOf(const std::wstring& name, const std::wstring& path);
// Deletes the temporary names of `path` that writers left when they died before their
// rename. Only for a caller that no other writer of `path` can run beside (it holds the lock
// that orders them). Returns how many were deleted.
int RemoveLeftTempNames(const std::wstring& path);

// Copies `from` into a new file `to` (which must not exist) and, with `flush`, flushes it to
// disk; a partial copy (full disk, read error) is removed again. `piece`, when given, is called
// after each piece but the last is written (the state a kill in the middle leaves).
bool CopyToNewFile(const std::wstring& from, const std::wstring& to, std::wstring* failure = nullptr,
                   bool flush = true, const std::function<void()>& piece = nullptr);
// Flushes each file's data to disk, several files at once (one at a time is a disk round trip
// each). False, with the first failure, when a file cannot be opened or flushed.
bool FlushFiles(const std::vector<std::wstring>& paths, std::wstring* failure = nullptr);
// Replaces (or creates) `path` with the bytes. `beforeRename`, when given, runs once the
// temporary file is complete on disk. On failure the temporary is gone and `path` unchanged.
bool WriteFileReplacing(const std::wstring& path, std::string_view bytes, std::wstring* failure = nullptr,
                        const std::function<void()>& beforeRename = {});
// Replaces (or creates) `path` with a copy of `from`, in the same way.
bool CopyFileReplacing(const std::wstring& from, const std::wstring& path, std::wstring* failure = nullptr);

}  // namespace mv
