// Bounded GETs for what is not a file of the update: lists, their signatures, the version
// page, the checksum service. Each is one request through SendHttpRequest (the shared
// session, the configured proxy, request time-outs) with the product's agent, bounded in
// bytes and by a deadline. Every function may be called from any thread; each call owns its
// handles.
#pragma once
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

using FetchClock = std::chrono::steady_clock;
using Deadline = FetchClock::time_point;

// A deadline `seconds` from now (0 or less: already passed).
Deadline DeadlineIn(long seconds);
// Milliseconds left, at least 1 while the deadline lies ahead, 0 once it has passed.
DWORD MillisecondsLeft(Deadline deadline);

// "<call> failed (<code>)", translated: the error text of a failed system or WinINet call.
std::wstring FailedCallText(const wchar_t* call, DWORD code);

// What a GET learnt besides its body.
struct FetchAnswer {
    DWORD status = 0;  // 0: no answer at all (a network failure)
    std::wstring etag, lastModified;
};

// Receives the body in pieces; false stops the fetch (a failed write).
using ByteSink = std::function<bool(const char* data, DWORD size)>;

// GET `url` (http or https). The body goes to `sink`; it must be a 2xx answer of at most `cap`
// bytes that is whole (as long as its Content-Length says, when it sends one) and read before
// the deadline. `headers` (lines ending in CR LF, or empty) go with the request; when they are
// not empty a 304 answer is a success without a body. On failure `error` names the failed call
// and its code, the status, or the limit that was hit.
bool FetchBounded(const std::wstring& url, Deadline deadline, uint64_t cap, const std::wstring& headers,
                  const ByteSink& sink, FetchAnswer& answer, std::wstring& error);
// The same into memory, without extra headers (`body` holds nothing on failure).
bool FetchToMemory(const std::wstring& url, Deadline deadline, uint64_t cap, std::string& body, std::wstring& error);
// The same into a file, created or truncated; the file is removed again on failure and on a
// 304 (which leaves `answer.status` 304).
bool FetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, uint64_t cap,
                 const std::wstring& headers, FetchAnswer& answer, std::wstring& error);
