// HTTP through WinINet, always blocking: sessions with the configured proxy, the two small
// fetch functions, the agent labels of the download engine, and URL helpers.
// Every function may be called from any thread; each call owns its own handles.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>

#include "util/handle.h"

// Request flags of the size query and the range download.
constexpr DWORD kEngineRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
// Request flags and header of FetchText and FetchToStream.
constexpr DWORD kFetchRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE;
constexpr wchar_t kFetchHeaders[] = L"Accept: */*\r\n\r\n";

// Opens a session labelled `agent`, through [Mirovane] Proxy when it is set (ProxyUser gives
// the proxy's user name and password). A Proxy value without ":port" shows an error box and
// opens nothing. The caller closes the handle; null on failure.
HINTERNET OpenSession(const std::wstring& agent);
// Whether a bad Proxy value shows its box (true) or is only logged (false, for a process
// nobody watches, such as the hidden copy that refreshes the list cache). Process-wide.
void SetProxyErrorBoxAllowed(bool allowed);
// InternetOpenUrl with the given extra headers (nul-terminated) and flags, context 0.
HINTERNET OpenUrl(HINTERNET session, const std::wstring& url, const std::wstring& headers, DWORD flags);

// The process's session for the download engine's requests: opened once per proxy setting and
// kept to the end of the process, so that requests share WinINet's kept-alive connections.
// Opened without an agent: each request names its own in a User-Agent header. Null when the
// proxy setting is malformed (the error box is shown on every call, as OpenSession does).
HINTERNET SharedSession();

// One request (GET unless told) on the shared session, opened with InternetConnect and
// HttpOpenRequest so that connect, send and receive time-outs can be set on the request
// handle (the only handle they work on everywhere). `agent` goes out as the User-Agent
// header. `headers` is one header line without its line end, or empty. On failure
// `failedCall` names the WinINet call and `error` holds its code.
struct HttpRequest {
    mv::InetHandle connection, request;
    DWORD status = 0;  // 0 when the response carried none
    const wchar_t* failedCall = nullptr;
    DWORD error = 0;
};
bool SendHttpRequest(HttpRequest& r, const std::wstring& agent, const std::wstring& url, const std::wstring& headers,
                     DWORD flags, DWORD timeoutMs, const wchar_t* verb = L"GET");
// A response header as text; empty when missing.
std::wstring ResponseHeader(HINTERNET request, DWORD query);
// Reads until `size` bytes are in `buf`, the body ends or a read fails. Returns the bytes read;
// `failed` tells a failed read (a time-out, a reset) from the end of the body.
DWORD ReadBlock(HINTERNET request, char* buf, DWORD size, bool& failed);

// The first 1024 bytes of the response read as UTF-16LE text; empty on any failure.
// Never uses the proxy.
std::wstring FetchText(const std::wstring& url);
// Copies the whole response into `sink` (which returns false to stop); true only when the
// whole body arrived and every write succeeded. Never uses the proxy.
using ByteSink = std::function<bool(const char* data, DWORD size)>;
bool FetchToStream(const std::wstring& url, const ByteSink& sink);
bool FetchToStream(const std::wstring& url, HANDLE file);
bool FetchToStream(const std::wstring& url, std::string& body);

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
