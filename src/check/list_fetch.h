// Fetching the lists of the remote check: the download engine first, a plain GET as the
// fallback, both bounded in size; the plain GET and the small fetches also in time. Every
// request goes through the download module's one request path (download/http.h).
// Every function may be called from any thread; each call owns its handles.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "check/list_validators.h"
#include "download/fetch.h"
#include "util/crypto.h"

// Every list arrives in memory: a fetch may pass through a private scratch file (removed
// again), but what is verified, parsed, merged, cached and installed are the bytes taken
// from it once; no list file is read again after it was checked.

// The plain fetch into a file (created or truncated), at most kMaxListBytes; the file is
// removed again on failure.
bool PlainFetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, std::wstring& error);
// A list: the download engine's list download (zipped form as it decides), then the plain
// fetch when that fails, through `scratch`. False, with `bytes` empty, when neither gave at
// most kMaxListBytes or a signed list did not verify as an update list. Logs one line per
// failure.
// `signature` (when given) receives the signature that verified it.
bool FetchList(HWND window, const std::wstring& url, const std::wstring& scratch, Deadline deadline, std::string& bytes,
               std::string* signature = nullptr);

// A cached list: a copy of what the server last sent for an address, kept at `copyPath`
// with its validators in copyPath + ".meta" (check/list_validators.h).
//
// Fetches a list by a conditional GET: the form the last check found first (the zipped form
// only when it was found; after the plain form fails, the zipped one at most once a day once
// it answered 404), "If-None-Match"/"If-Modified-Since" only when the copy is still whole.
// The copy is read once before the request; a 304 answers with those bytes after checking
// them again, a 200 renews the copy and its validators. Without any answer from the server,
// the download engine tries too. Same bounds, verification and logging as FetchList.
bool FetchCachedList(HWND window, const std::wstring& url, mv::ListRole role, const std::wstring& copyPath,
                     const std::wstring& scratch, Deadline deadline, std::string& bytes,
                     std::string* signature = nullptr);
// True when the bytes of a cached copy are what its validators describe (size and hash) and,
// when `full`, load as a list.
bool CachedCopyUsable(std::string_view bytes, const ListValidators& v, bool full);

// True when the bytes load as an update list (root update, updates or mirovane). Never shows
// a box. Thread: initialises COM itself.
bool IsListBytes(std::string_view bytes);

// Replaces `target` by `source` in one step (the source is gone afterwards); readers of the
// target see the old file or the new one, never a part.
bool ReplaceFile(const std::wstring& source, const std::wstring& target);
