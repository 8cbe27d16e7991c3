// HTTP through WinINet, always blocking: sessions with the configured proxy, the one request
// path every request of the updater takes, the agent labels, and URL helpers.
// Every function may be called from any thread; each call owns its own handles.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

#include "download/low_speed.h"
#include "util/handle.h"

// Request flags of the size query and the range download.
constexpr DWORD kEngineRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
// The agent of the requests that are not the engine's (lists, signatures, the version page,
// the checksum service): a named one, since some servers and CDNs refuse an empty agent.
constexpr wchar_t kProductAgent[] = L"Mirovane/2";

// Opens a session labelled `agent`, through [Mirovane] Proxy when it is set. A Proxy value
// without ":port" shows an error box and opens nothing. The caller closes the handle; null on
// failure. ProxyUser (the proxy's user name and password) is set on each request that
// SendHttpRequest opens, not on the session.
HINTERNET OpenSession(const std::wstring& agent);

// The process's session for every request of the updater: opened once per proxy setting and
// kept to the end of the process, so that requests share WinINet's kept-alive connections.
// Opened without an agent: each request names its own in a User-Agent header. Null when the
// proxy setting is malformed (the error box is shown on every call, as OpenSession does).
HINTERNET SharedSession();

// One request (GET unless told) on the shared session, opened with InternetConnect and
// HttpOpenRequest so that connect, send and receive time-outs can be set on the request
// handle (the only handle they work on everywhere). `agent` goes out as the User-Agent
// header. `headers` is empty or header lines separated by CR LF (a last line end is optional).
// On failure `failedCall` names the WinINet call and `error` holds its code.
struct HttpRequest {
    mv::InetHandle connection, request;
    DWORD status = 0;  // 0 when the response carried none
    const wchar_t* failedCall = nullptr;
    DWORD error = 0;
};
bool SendHttpRequest(HttpRequest& r, const std::wstring& agent, const std::wstring& url, const std::wstring& headers,
                     DWORD flags, DWORD timeoutMs, const wchar_t* verb = L"GET");
// Connect, send and receive time-outs of a request handle (the only handle they work on).
void SetRequestTimeouts(HINTERNET request, DWORD timeoutMs);
// A response header as text; empty when missing.
std::wstring ResponseHeader(HINTERNET request, DWORD query);

// What a WinINet error says about the server's certificate or the secure channel, in words
// a vendor can act on; empty for any other error. Certificate errors are never ignored.
std::wstring SecureChannelProblem(DWORD code);
// Decimal Content-Length text to a 64-bit value; -1 when it is missing or not a number.
long long ParseContentLength(const std::wstring& text);
// The response's Content-Length; -1 when it sent none or a malformed one.
long long ResponseContentLength(HINTERNET request);
// Reads until `size` bytes are in `buf`, the body ends or a read fails. Returns the bytes read;
// `failed` tells a failed read (a time-out, a reset) from the end of the body. With `watch`,
// a transfer that has become too slow also stops the read as failed (watch->TooSlow()).
DWORD ReadBlock(HINTERNET request, char* buf, DWORD size, bool& failed, LowSpeedWatch* watch = nullptr);

// Agent labels of the download engine: "down%d" per connection attempt, "querysize%d" per
// size query. Each has its own process-wide counter, incremented before use (first is 1).
std::wstring NextConnectionAgent();
std::wstring NextSizeQueryAgent();

// Set once a server answered with the tag of our own update server; never cleared.
bool ServerTagSeen();
void SetServerTagSeen();

// Joins a file name under a base URL and normalises slashes ("\" -> "/", "//" -> "/"),
// restoring the scheme separator of http and https URLs.
std::wstring JoinUrl(const std::wstring& base, const std::wstring& name);
// Percent-escapes a URL for a second try after the server refused the plain one.
std::wstring EscapeUrl(const std::wstring& url);
