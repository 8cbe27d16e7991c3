#include "download/fetch.h"

#include <wininet.h>

#include <algorithm>

#include "download/http.h"
#include "download/low_speed.h"
#include "lang/language.h"
#include "util/handle.h"
#include "util/text.h"

Deadline DeadlineIn(long seconds) { return FetchClock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0); }

DWORD MillisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - FetchClock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left < 1 ? 1 : left);
}

std::wstring FailedCallText(const wchar_t* call, DWORD code) {
    std::wstring text = mv::Format(Translate(L"MAIN", L"%s failed (%lu)").c_str(), call, static_cast<unsigned long>(code));
    const std::wstring problem = SecureChannelProblem(code);
    return problem.empty() ? text : text + L": " + problem;
}

namespace {

// Only http and https go out; anything else is refused before a request exists.
bool CheckScheme(const std::wstring& url, std::wstring& error) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = 1;  // only the scheme is wanted
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
        error = FailedCallText(L"InternetCrackUrl", GetLastError());
        return false;
    }
    if (parts.nScheme == INTERNET_SCHEME_HTTP || parts.nScheme == INTERNET_SCHEME_HTTPS) return true;
    error = Translate(L"MAIN", L"not an http or https address");
    return false;
}

}  // namespace

bool FetchBounded(const std::wstring& url, Deadline deadline, uint64_t cap, const std::wstring& headers,
                  const ByteSink& sink, FetchAnswer& answer, std::wstring& error) {
    answer = FetchAnswer{};
    if (!CheckScheme(url, error)) return false;
    DWORD left = MillisecondsLeft(deadline);
    if (left == 0) {
        error = Translate(L"MAIN", L"time-out before the request");
        return false;
    }
    HttpRequest r;
    if (!SendHttpRequest(r, kProductAgent, url, headers, kEngineRequestFlags, left)) {
        error = FailedCallText(r.failedCall, r.error);
        return false;
    }
    if (r.status == 0) {
        error = FailedCallText(L"HttpQueryInfo", GetLastError());
        return false;
    }
    HINTERNET request = r.request.get();
    answer.status = r.status;
    if (!ServerTagSeen() && ResponseHeader(request, HTTP_QUERY_SERVER) == L"mirovane2.xx") SetServerTagSeen();
    if (r.status == 304 && !headers.empty()) return true;
    if (r.status < 200 || r.status > 299) {
        error = mv::Format(Translate(L"MAIN", L"HTTP status %lu").c_str(), static_cast<unsigned long>(r.status));
        return false;
    }
    answer.etag = ResponseHeader(request, HTTP_QUERY_ETAG);
    answer.lastModified = ResponseHeader(request, HTTP_QUERY_LAST_MODIFIED);
    const long long expected = ResponseContentLength(request);
    if (expected > 0 && static_cast<uint64_t>(expected) > cap) {
        error = mv::Format(Translate(L"MAIN", L"answer of %lld bytes is over the limit of %llu").c_str(), expected,
                           static_cast<unsigned long long>(cap));
        return false;
    }
    uint64_t total = 0;
    char buf[8192];
    const LowSpeedLimit lowSpeed = LowSpeedFromSettings();
    LowSpeedWatch watch(lowSpeed, LowSpeedNowMs());
    for (;;) {
        left = MillisecondsLeft(deadline);
        if (left == 0) {
            error = Translate(L"MAIN", L"time-out while reading");
            return false;
        }
        // A wait that brings nothing for the low-speed time is too slow as well.
        if (lowSpeed.Enabled()) left = std::min<DWORD>(left, lowSpeed.seconds * 1000);
        SetRequestTimeouts(request, left);
        DWORD got = 0;
        if (!ReadArrived(request, buf, sizeof(buf), got)) {
            const DWORD code = GetLastError();
            error = watch.Add(0, LowSpeedNowMs()) ? LowSpeedText(lowSpeed) : FailedCallText(L"InternetReadFile", code);
            return false;
        }
        if (got == 0) break;
        total += got;
        if (watch.Add(got, LowSpeedNowMs())) {
            error = LowSpeedText(lowSpeed);
            return false;
        }
        if (total > cap) {
            error = mv::Format(Translate(L"MAIN", L"answer over the limit of %llu bytes").c_str(),
                               static_cast<unsigned long long>(cap));
            return false;
        }
        if (!sink(buf, got)) {
            error = FailedCallText(L"WriteFile", GetLastError());
            return false;
        }
    }
    // A connection that closed early must not pass for the whole document.
    if (expected >= 0 && static_cast<long long>(total) != expected) {
        error = mv::Format(Translate(L"MAIN", L"body ended after %llu of %lld bytes").c_str(),
                           static_cast<unsigned long long>(total), expected);
        return false;
    }
    return true;
}

bool FetchToMemory(const std::wstring& url, Deadline deadline, uint64_t cap, std::string& body, std::wstring& error) {
    body.clear();
    FetchAnswer answer;
    const bool ok = FetchBounded(url, deadline, cap, L"", [&body](const char* data, DWORD n) {
        body.append(data, n);
        return true;
    }, answer, error);
    if (!ok) body.clear();
    return ok;
}

bool FetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, uint64_t cap,
                 const std::wstring& headers, FetchAnswer& answer, std::wstring& error) {
    bool ok = false;
    {
        mv::Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            answer = FetchAnswer{};
            error = FailedCallText(L"CreateFile", GetLastError());
            return false;
        }
        ok = FetchBounded(url, deadline, cap, headers, [&file](const char* data, DWORD n) {
            DWORD written = 0;
            return WriteFile(file.get(), data, n, &written, nullptr) && written == n;
        }, answer, error);
    }
    if (!ok || answer.status == 304) DeleteFileW(path.c_str());
    return ok;
}
