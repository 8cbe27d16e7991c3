#include "download/http.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

std::atomic<long> g_connectionCounter{0};
std::atomic<long> g_sizeQueryCounter{0};
std::atomic<bool> g_serverTagSeen{false};


// `agent` null: the session sends no agent of its own.
HINTERNET OpenSessionAs(const wchar_t* agent) {
    const std::wstring proxy = ReadSetting(L"Mirovane", L"Proxy");
    if (proxy.empty()) return InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);

    const auto parts = mv::Split(proxy, L':');
    if (parts.size() < 2) {
        const std::wstring text = Translate(L"MAIN", L"The proxy set error!");
        WriteLog(text + L" [" + proxy + L"]");
        PromptUser(nullptr, text, L"Mirovane", MB_OK, IDOK);  // a hidden copy shows nothing
        return nullptr;
    }
    const std::wstring list = mv::Format(L"HTTP=HTTP://%s:%s", parts[0].c_str(), parts[1].c_str());
    // The proxy's credentials go on each request (SetProxyCredentials): WinINet takes them on
    // connection and request handles, not on the session's.
    return InternetOpenW(agent, INTERNET_OPEN_TYPE_PROXY, list.c_str(), nullptr, 0);
}

// [Mirovane] ProxyUser ("user,password"; the password may be left out) on a request that
// goes through the proxy; false when there is no proxy or no user to set.
bool SetProxyCredentials(HINTERNET request) {
    if (ReadSetting(L"Mirovane", L"Proxy").empty()) return false;
    const std::wstring user = ReadSetting(L"Mirovane", L"ProxyUser");
    if (user.empty()) return false;
    const auto cred = mv::Split(user, L',');
    std::wstring name = cred.empty() ? std::wstring() : cred[0];
    std::wstring password = cred.size() >= 2 ? cred[1] : std::wstring();
    return InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME, name.data(), static_cast<DWORD>(name.size() + 1)) &&
           InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                              static_cast<DWORD>(password.size() + 1));
}

// Reads and drops what is left of a response (a 407's short page), at most 64 KB, so that the
// request can be sent again on the same connection.
void DropResponse(HINTERNET request) {
    char buf[4096];
    DWORD got = 0;
    for (int i = 0; i < 16 && InternetReadFile(request, buf, sizeof(buf), &got) && got; ++i) {
    }
}

}  // namespace

HINTERNET OpenSession(const std::wstring& agent) { return OpenSessionAs(agent.c_str()); }

HINTERNET SharedSession() {
    static std::mutex mutex;
    // By proxy setting. Never destroyed: threads that have not ended may still use a session
    // while the process exits.
    static auto& sessions = *new std::map<std::wstring, mv::InetHandle>;
    const std::wstring key = ReadSetting(L"Mirovane", L"Proxy") + L"\n" + ReadSetting(L"Mirovane", L"ProxyUser");
    {
        std::lock_guard<std::mutex> hold(mutex);
        auto it = sessions.find(key);
        if (it != sessions.end()) return it->second.get();
    }
    // Opened outside the lock: a malformed proxy shows a box that waits for a person.
    mv::InetHandle session(OpenSessionAs(nullptr));
    if (!session) return nullptr;
    std::lock_guard<std::mutex> hold(mutex);
    auto it = sessions.find(key);
    if (it != sessions.end()) return it->second.get();  // another thread was first
    return sessions.emplace(key, std::move(session)).first->second.get();
}

bool SendHttpRequest(HttpRequest& r, const std::wstring& agent, const std::wstring& url, const std::wstring& headers,
                     DWORD flags, DWORD timeoutMs, const wchar_t* verb) {
    r.request.reset();
    r.connection.reset();
    r.status = 0;
    r.failedCall = nullptr;
    r.error = 0;
    auto fail = [&r](const wchar_t* call) {
        r.failedCall = call;
        r.error = GetLastError();
        r.request.reset();
        r.connection.reset();
        return false;
    };
    std::vector<wchar_t> host(url.size() + 1), user(url.size() + 1), password(url.size() + 1),
        path(url.size() + 1), extra(url.size() + 1);
    URL_COMPONENTSW uc{};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host.data();
    uc.dwHostNameLength = static_cast<DWORD>(host.size());
    uc.lpszUserName = user.data();
    uc.dwUserNameLength = static_cast<DWORD>(user.size());
    uc.lpszPassword = password.data();
    uc.dwPasswordLength = static_cast<DWORD>(password.size());
    uc.lpszUrlPath = path.data();
    uc.dwUrlPathLength = static_cast<DWORD>(path.size());
    uc.lpszExtraInfo = extra.data();
    uc.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &uc)) return fail(L"InternetCrackUrl");
    if (uc.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    // Files are fetched without cookies: looking them up costs a pass through the URL cache
    // (and its cross-process lock) on every request.
    flags |= INTERNET_FLAG_NO_COOKIES;

    HINTERNET session = SharedSession();
    if (!session) return fail(L"InternetOpen");
    std::wstring object = std::wstring(path.data()) + extra.data();
    if (object.empty()) object = L"/";
    // Under load, Wine's WinINet now and then refuses a connection handle it has just made
    // (12018, wrong handle type) while other threads open and close theirs: a new one serves.
    for (int attempt = 0;; ++attempt) {
        r.connection.reset(InternetConnectW(session, host.data(), uc.nPort, user[0] ? user.data() : nullptr,
                                            password[0] ? password.data() : nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        if (!r.connection) return fail(L"InternetConnect");
        r.request.reset(HttpOpenRequestW(r.connection.get(), verb, object.c_str(), nullptr, nullptr, nullptr, flags, 0));
        if (r.request) break;
        const DWORD error = GetLastError();
        if (attempt >= 2 || (error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE && error != ERROR_INVALID_HANDLE)) {
            SetLastError(error);
            return fail(L"HttpOpenRequest");
        }
    }
    SetRequestTimeouts(r.request.get(), timeoutMs);
    const bool credentials = SetProxyCredentials(r.request.get());
    std::wstring lines = L"User-Agent: " + agent + L"\r\n" + headers;
    if (!headers.empty() && !headers.ends_with(L"\r\n")) lines += L"\r\n";
    auto send = [&] {
        if (!HttpSendRequestW(r.request.get(), lines.c_str(), static_cast<DWORD>(-1), nullptr, 0)) return false;
        DWORD status = 0, size = sizeof(status);
        r.status = HttpQueryInfoW(r.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                  nullptr)
                       ? status
                       : 0;
        return true;
    };
    if (!send()) return fail(L"HttpSendRequest");
    // A proxy that asks for credentials (407) is answered by sending again: WinINet then
    // answers its challenge with the credentials set on the request.
    if (r.status == HTTP_STATUS_PROXY_AUTH_REQ && credentials) {
        DropResponse(r.request.get());
        if (!send()) return fail(L"HttpSendRequest");
    }
    return true;
}

void SetRequestTimeouts(HINTERNET request, DWORD timeoutMs) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(request, option, &timeoutMs, sizeof(timeoutMs));
}

std::wstring SecureChannelProblem(DWORD code) {
    const wchar_t* text = nullptr;
    switch (code) {
    case ERROR_INTERNET_INVALID_CA: text = L"the server's certificate is not issued by an authority this machine trusts"; break;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: text = L"the server's certificate names another host"; break;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: text = L"the server's certificate has expired or is not valid yet"; break;
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: text = L"the server's certificate could not be checked for revocation"; break;
    case ERROR_INTERNET_SEC_CERT_REVOKED: text = L"the server's certificate has been revoked"; break;
    case ERROR_INTERNET_SEC_INVALID_CERT: text = L"the server's certificate is not valid"; break;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: text = L"no secure connection could be made with the server"; break;
    default: return {};
    }
    return Translate(L"MAIN", text);
}

std::wstring ResponseHeader(HINTERNET request, DWORD query) {
    wchar_t buf[512] = {};
    DWORD size = sizeof(buf) - sizeof(wchar_t);
    if (!HttpQueryInfoW(request, query, buf, &size, nullptr)) return {};
    return buf;
}

long long ParseContentLength(const std::wstring& text) {
    const std::wstring t = mv::Trim(text);
    if (t.empty() || t.size() > 18) return -1;
    long long v = 0;
    for (wchar_t c : t) {
        if (c < L'0' || c > L'9') return -1;
        v = v * 10 + (c - L'0');
    }
    return v;
}

long long ResponseContentLength(HINTERNET request) {
    return ParseContentLength(ResponseHeader(request, HTTP_QUERY_CONTENT_LENGTH));
}

DWORD ReadBlock(HINTERNET request, char* buf, DWORD size, bool& failed, LowSpeedWatch* watch) {
    failed = false;
    DWORD total = 0;
    while (total < size) {
        DWORD got = 0;
        // With a watch, read what has arrived so that the clock is looked at between arrivals.
        const bool ok = watch && watch->Limit().Enabled() ? ReadArrived(request, buf + total, size - total, got)
                                                          : InternetReadFile(request, buf + total, size - total, &got) != FALSE;
        if (!ok) {
            const DWORD code = GetLastError();
            if (watch) watch->Add(0, LowSpeedNowMs());
            SetLastError(code);
            failed = true;
            break;
        }
        if (got == 0) break;
        total += got;
        if (watch && watch->Add(got, LowSpeedNowMs())) {
            failed = true;
            break;
        }
    }
    return total;
}

std::wstring NextConnectionAgent() { return mv::Format(L"down%ld", ++g_connectionCounter); }
std::wstring NextSizeQueryAgent() { return mv::Format(L"querysize%ld", ++g_sizeQueryCounter); }

bool ServerTagSeen() { return g_serverTagSeen.load(); }
void SetServerTagSeen() { g_serverTagSeen = true; }

std::wstring JoinUrl(const std::wstring& base, const std::wstring& name) {
    std::wstring s = base;
    if (!name.empty()) s += L"//" + name;
    s = mv::ReplaceAll(s, L"\\", L"/");
    s = mv::ReplaceAll(s, L"//", L"/");
    s = mv::ReplaceAll(s, L"http:/", L"http://");
    s = mv::ReplaceAll(s, L"HTTP:/", L"HTTP://");
    s = mv::ReplaceAll(s, L"https:/", L"https://");
    s = mv::ReplaceAll(s, L"HTTPS:/", L"HTTPS://");
    return s;
}

std::wstring EscapeUrl(const std::wstring& url) {
    std::wstring s = mv::ReplaceAll(url, L"%", L"%25");
    static const wchar_t kUnsafe[] = L" \"<>#{}|\\^~[]`+";
    for (const wchar_t* c = kUnsafe; *c; ++c)
        s = mv::ReplaceAll(s, std::wstring(1, *c), mv::Format(L"%%%02X", static_cast<unsigned>(*c)));

    static const wchar_t kSafe[] = L"$&+,./:;=?@-_!*()'%";
    std::wstring out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const wchar_t c = s[i];
        if (c != 0 && c < 0x80 && (iswalnum(c) || wcschr(kSafe, c))) {
            out += c;
            continue;
        }
        // A surrogate pair is one character: its UTF-8 form covers both units.
        size_t units = (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ? 2 : 1;
        for (unsigned char b : mv::ToUtf8(std::wstring_view(s).substr(i, units))) out += mv::Format(L"%%%02X", b);
        i += units - 1;
    }
    return out;
}
