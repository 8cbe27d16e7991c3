// Fetching the lists of the remote check: the download engine first, a plain GET as the
// fallback, both bounded in size; the plain GET and the small fetches also in time. Every
// request goes through the download module's one request path (download/http.h).
// Every function may be called from any thread; each call owns its handles.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "check/list_validators.h"
#include "download/fetch.h"

// The plain fetch: the same into a file (created or truncated), at most kMaxListBytes.
// The file is removed again on failure.
bool PlainFetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, std::wstring& error);
// A list file: the download engine's list download (zipped form as it decides), then the plain
// fetch when that fails. False, with `path` removed, when neither gave a file of at most
// kMaxListBytes. Logs one line per failure.
bool FetchListFile(HWND window, const std::wstring& url, const std::wstring& path, Deadline deadline);

// A cached list: a copy of what the server last sent for an address, kept at `copyPath`
// with its validators in copyPath + ".meta" (check/list_validators.h).
//
// Fetches a list into `path` by a conditional GET: the form the last check found first (the
// zipped form only when it was found; after the plain form fails, the zipped one at most once
// a day once it answered 404), "If-None-Match"/"If-Modified-Since" only when the copy is still
// whole. A 304 copies the cached copy to `path` after checking it again (a copy that went away
// or changed meanwhile is fetched in full); a 200 renews the copy and its validators. Without
// any answer from the server, the download engine tries too. Same bounds and logging as
// FetchListFile.
bool FetchCachedListFile(HWND window, const std::wstring& url, const std::wstring& copyPath, const std::wstring& path,
                         Deadline deadline);
// True when `copyPath` still holds what its validators describe (size and hash) and, when
// `full`, loads as a list and passes the cached-copy check.
bool CachedCopyUsable(const std::wstring& copyPath, const ListValidators& v, bool full);
// An extra test of a cached copy before it stands for a "not modified" answer (the signed
// list re-verifies its signature here). Registered once at start-up; none: no extra test.
// Called on the check's threads.
using CachedCopyCheck = std::function<bool(const std::wstring& copyPath, const std::wstring& url)>;
void SetCachedCopyCheck(CachedCopyCheck check);

// True when the file loads as an update list (root update, updates or mirovane). Never
// changes the file and never shows a box. Thread: initialises COM itself.
bool IsListFile(const std::wstring& path);

// Replaces `target` by `source` in one step (the source is gone afterwards); readers of the
// target see the old file or the new one, never a part.
bool ReplaceFile(const std::wstring& source, const std::wstring& target);
// Copies `source` over `target` through a private temporary name beside the target.
bool CopyFileOver(const std::wstring& source, const std::wstring& target);
