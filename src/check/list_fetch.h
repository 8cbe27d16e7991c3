// Fetching the lists of the remote check: the download engine first, a plain GET as the
// fallback, both bounded in size; the plain GET and the small fetches also in time.
// Every function may be called from any thread; each call owns its handles.
#pragma once
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

using CheckClock = std::chrono::steady_clock;
using Deadline = CheckClock::time_point;

// A deadline `seconds` from now (0 or less: already passed).
Deadline DeadlineIn(long seconds);
// Milliseconds left, at least 1 while the deadline lies ahead, 0 once it has passed.
DWORD MillisecondsLeft(Deadline deadline);

// GET `url` into memory: at most `cap` bytes, status 2xx, the whole body (Content-Length
// honoured when the server sends one), finished before the deadline. On failure `error` names
// the failed call and its code (or the limit that was hit).
bool FetchSmall(const std::wstring& url, Deadline deadline, size_t cap, std::string& body, std::wstring& error);
// The plain fetch: the same into a file (created or truncated), at most kMaxListBytes.
// The file is removed again on failure.
bool PlainFetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, std::wstring& error);
// A list file: the download engine's list download (zipped form as it decides), then the plain
// fetch when that fails. False, with `path` removed, when neither gave a file of at most
// kMaxListBytes. Logs one line per failure.
bool FetchListFile(HWND window, const std::wstring& url, const std::wstring& path, Deadline deadline);

// True when the file loads as an update list (root update, updates or mirovane). Never
// changes the file and never shows a box. Thread: initialises COM itself.
bool IsListFile(const std::wstring& path);

// Replaces `target` by `source` in one step (the source is gone afterwards); readers of the
// target see the old file or the new one, never a part.
bool ReplaceFile(const std::wstring& source, const std::wstring& target);
// Copies `source` over `target` through a private temporary name beside the target.
bool CopyFileOver(const std::wstring& source, const std::wstring& target);
// A name beside `path` that no other check, in this process or another, uses.
std::wstring PrivateTempName(const std::wstring& path, const wchar_t* what);
